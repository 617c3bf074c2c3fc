-- How far each computer's latest remote installation has got: one row per stage it reached
-- (queued, connecting, copying, running, then done or failed with its result, or stopped when
-- the queue was emptied before its turn), written by the service's install workers as the
-- attempt moves on. A new attempt starts with "queued" and
-- drops the rows of the one before, so a computer never holds more than one attempt's rows.
-- The install flags and result on the computer stay what they were; this sits beside them.
CREATE TABLE dbo."InstallStages" (
    "ComputerID" integer NOT NULL REFERENCES dbo."Computers" ("ComputerID"),
    "Seq"        bigint GENERATED ALWAYS AS IDENTITY,
    -- 1 queued, 2 connecting, 3 copying, 4 running, 5 done, 6 failed, 7 stopped
    "Stage"      smallint NOT NULL CHECK ("Stage" BETWEEN 1 AND 7),
    "Result"     integer NULL,
    "StageTime"  timestamptz NOT NULL DEFAULT clock_timestamp(),
    PRIMARY KEY ("ComputerID", "Seq")
);

-- The consoles' view reads the most recently written stages first.
CREATE INDEX "InstallStages_Newest" ON dbo."InstallStages" ("Seq");
