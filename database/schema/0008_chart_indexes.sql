-- Indexes for the web console's charts and outbreak view: virus detections by time with the
-- columns the aggregates read (so a period's top viruses, computers and groups and the outbreak
-- rule read the index alone), and one virus's detections (the outbreak view).
CREATE INDEX IF NOT EXISTS "Alerts_VirusByTime" ON dbo."Alerts" ("AlertTime")
    INCLUDE ("VirusName", "ComputerID") WHERE "AlertType" = 2;
CREATE INDEX IF NOT EXISTS "Alerts_VirusName" ON dbo."Alerts" ("VirusName", "AlertTime")
    WHERE "AlertType" = 2;
