-- The first schema step changed while it was young: a database made then holds an earlier form
-- of it under the same name, so no upgrade re-applies it. This brings any of those forms to the
-- final one; on a database that has it already every statement finds nothing to do.

DO $$
BEGIN
    IF NOT EXISTS (SELECT 1 FROM information_schema.columns
                    WHERE table_schema = 'dbo' AND table_name = 'Computers' AND column_name = 'VirusDataKey') THEN
        ALTER TABLE dbo."Computers" ADD COLUMN "VirusDataKey" numeric[] GENERATED ALWAYS AS
            (CASE WHEN "VirusDataVersion" <> '' THEN dbo.version_key("VirusDataVersion") END) STORED;
    END IF;

    -- The outstanding-alert counts start from the alerts the database holds.
    IF NOT EXISTS (SELECT 1 FROM information_schema.columns
                    WHERE table_schema = 'dbo' AND table_name = 'Computers' AND column_name = 'OutstandingErrorAlerts') THEN
        ALTER TABLE dbo."Computers"
            ADD COLUMN "OutstandingErrorAlerts" integer NOT NULL DEFAULT 0 CHECK ("OutstandingErrorAlerts" >= 0),
            ADD COLUMN "OutstandingVirusAlerts" integer NOT NULL DEFAULT 0 CHECK ("OutstandingVirusAlerts" >= 0);
        ALTER TABLE dbo."Computers" ADD COLUMN "AlertState" smallint GENERATED ALWAYS AS
            ((CASE WHEN "OutstandingErrorAlerts" > 0 THEN 1 ELSE 0 END)
             + (CASE WHEN "OutstandingVirusAlerts" > 0 THEN 2 ELSE 0 END)) STORED;
        UPDATE dbo."Computers" c
           SET "OutstandingErrorAlerts" = a.errors, "OutstandingVirusAlerts" = a.viruses
          FROM (SELECT "ComputerID", count(*) FILTER (WHERE "AlertType" = 1) AS errors,
                       count(*) FILTER (WHERE "AlertType" = 2) AS viruses
                  FROM dbo."Alerts" WHERE "Outstanding" GROUP BY "ComputerID") a
         WHERE c."ComputerID" = a."ComputerID" AND NOT c."Deleted";
    END IF;

    -- The virus-data index was on the expression before the key had a column of its own.
    IF EXISTS (SELECT 1 FROM pg_indexes WHERE schemaname = 'dbo' AND indexname = 'Computers_VirusData'
                                          AND indexdef LIKE '%version_key%') THEN
        DROP INDEX dbo."Computers_VirusData";
    END IF;
END $$;

CREATE INDEX IF NOT EXISTS "Computers_VirusData" ON dbo."Computers" ("VirusDataKey")
    WHERE "VirusDataKey" IS NOT NULL AND NOT "Deleted";
CREATE INDEX IF NOT EXISTS "Computers_ByName" ON dbo."Computers" (lower("ComputerName"))
    INCLUDE ("ComputerID", "ComputerName") WHERE NOT "Deleted";
CREATE INDEX IF NOT EXISTS "Computers_Alerting" ON dbo."Computers" ("AlertState")
    WHERE "AlertState" <> 0 AND NOT "Deleted";
DROP INDEX IF EXISTS dbo."Alerts_Outstanding";
