-- Alerts (error and virus events of managed computers), their details, and the purge policy.

-- Counts a new outstanding alert of type 1 (error) or 2 (virus) on a live computer. 0; 1: no
-- alert time; 22: no such computer. Counting locks the computer's row: a concurrent deletion
-- waits, and vice versa.
CREATE OR REPLACE FUNCTION dbo.corvex_count_new_alert(p_computer integer, p_type integer,
                                                      p_time timestamp)
RETURNS integer LANGUAGE plpgsql AS $$
BEGIN
    IF p_time IS NULL THEN
        RETURN 1;
    END IF;
    UPDATE dbo."Computers" c SET
           "OutstandingErrorAlerts" = c."OutstandingErrorAlerts" + (p_type = 1)::integer,
           "OutstandingVirusAlerts" = c."OutstandingVirusAlerts" + (p_type = 2)::integer
     WHERE c."ComputerID" = p_computer AND NOT c."Deleted";
    RETURN CASE WHEN FOUND THEN 0 ELSE 22 END;
END $$;

-- 0; 22: no such computer; 1: no alert time.
CREATE FUNCTION dbo."AddErrorAlert"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@AlertTime" timestamp,
    "@UserName" dbo.nvarchar_256,
    "@Source" dbo.nvarchar_32,
    "@EntityInfo" dbo.nvarchar_256,
    "@number" integer,
    "@MessageCode" dbo.nvarchar_256,
    "@Insert1" dbo.nvarchar_256,
    "@Insert2" dbo.nvarchar_256,
    "@Insert3" dbo.nvarchar_256,
    "@Insert4" dbo.nvarchar_256,
    "@Insert5" dbo.nvarchar_256)
LANGUAGE plpgsql AS $$
BEGIN
    -- An envelope applied before (delivered again after a crash) stores nothing twice.
    IF NOT dbo.corvex_first_application() THEN
        "@RETURN_VALUE" := 0;
        RETURN;
    END IF;
    "@RETURN_VALUE" := dbo.corvex_count_new_alert("@ComputerID", 1, "@AlertTime");
    IF "@RETURN_VALUE" <> 0 THEN
        PERFORM dbo.corvex_forget_application();
        RETURN;
    END IF;
    INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "UserName", "Source",
                              "EntityInfo", "Number", "MessageCode",
                              "Insert1", "Insert2", "Insert3", "Insert4", "Insert5")
    VALUES ("@ComputerID", 1, "@AlertTime", COALESCE("@UserName", ''), COALESCE("@Source", ''),
            COALESCE("@EntityInfo", ''), COALESCE("@number", 0), COALESCE("@MessageCode", ''),
            COALESCE("@Insert1", ''), COALESCE("@Insert2", ''), COALESCE("@Insert3", ''),
            COALESCE("@Insert4", ''), COALESCE("@Insert5", ''));
END $$;

CREATE FUNCTION dbo."AddVirusAlert"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@AlertTime" timestamp,
    "@UserName" dbo.nvarchar_256,
    "@VirusName" dbo.nvarchar_32,
    "@VirusType" integer,
    "@InfectedItem" dbo.nvarchar_256,
    "@ScannerType" integer,
    "@ActionTaken" integer)
LANGUAGE plpgsql AS $$
BEGIN
    -- An envelope applied before (delivered again after a crash) stores nothing twice.
    IF NOT dbo.corvex_first_application() THEN
        "@RETURN_VALUE" := 0;
        RETURN;
    END IF;
    "@RETURN_VALUE" := dbo.corvex_count_new_alert("@ComputerID", 2, "@AlertTime");
    IF "@RETURN_VALUE" <> 0 THEN
        PERFORM dbo.corvex_forget_application();
        RETURN;
    END IF;
    INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "UserName", "VirusName",
                              "VirusType", "InfectedItem", "ScannerType", "ActionTaken")
    VALUES ("@ComputerID", 2, "@AlertTime", COALESCE("@UserName", ''), COALESCE("@VirusName", ''),
            COALESCE("@VirusType", 0), COALESCE("@InfectedItem", ''), COALESCE("@ScannerType", 0),
            COALESCE("@ActionTaken", 0));
END $$;

-- The computer's alert ids, oldest first. 39: no such computer.
CREATE FUNCTION dbo."GetAlertList"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    IF NOT dbo.corvex_is_live("@ComputerID") THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR
        SELECT a."AlertID" FROM dbo."Alerts" a WHERE a."ComputerID" = "@ComputerID"
         ORDER BY a."AlertID";
    "@RETURN_VALUE" := 0;
END $$;

-- "@AlertType": 1 error, 2 virus; "@Active": 1 while outstanding. 22: no such alert.
CREATE FUNCTION dbo."GetAlertDetails"(
    OUT "@RETURN_VALUE" integer,
    "@AlertID" integer,
    OUT "@UserName" dbo.nvarchar_256,
    OUT "@AlertTime" timestamp,
    OUT "@AlertType" integer,
    OUT "@Active" integer)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT a."UserName", a."AlertTime", a."AlertType", a."Outstanding"::integer
      INTO "@UserName", "@AlertTime", "@AlertType", "@Active"
      FROM dbo."Alerts" a WHERE a."AlertID" = "@AlertID";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 22 END;
END $$;

-- 22: no such error alert.
CREATE FUNCTION dbo."GetAlertDetailsError"(
    OUT "@RETURN_VALUE" integer,
    "@AlertID" integer,
    OUT "@Source" dbo.nvarchar_32,
    OUT "@EntityInfo" dbo.nvarchar_256,
    OUT "@MessageCode" dbo.nvarchar_256,
    OUT "@Number" integer,
    OUT "@Insert1" dbo.nvarchar_256,
    OUT "@Insert2" dbo.nvarchar_256,
    OUT "@Insert3" dbo.nvarchar_256,
    OUT "@Insert4" dbo.nvarchar_256,
    OUT "@Insert5" dbo.nvarchar_256)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT a."Source", a."EntityInfo", a."MessageCode", a."Number",
           a."Insert1", a."Insert2", a."Insert3", a."Insert4", a."Insert5"
      INTO "@Source", "@EntityInfo", "@MessageCode", "@Number",
           "@Insert1", "@Insert2", "@Insert3", "@Insert4", "@Insert5"
      FROM dbo."Alerts" a WHERE a."AlertID" = "@AlertID" AND a."AlertType" = 1;
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 22 END;
END $$;

-- 22: no such virus alert.
CREATE FUNCTION dbo."GetAlertDetailsVirus"(
    OUT "@RETURN_VALUE" integer,
    "@AlertID" integer,
    OUT "@VirusName" dbo.nvarchar_32,
    OUT "@InfectedItem" dbo.nvarchar_256,
    OUT "@VirusType" integer,
    OUT "@ScannerType" integer,
    OUT "@ActionTaken" integer)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT a."VirusName", a."InfectedItem", a."VirusType", a."ScannerType", a."ActionTaken"
      INTO "@VirusName", "@InfectedItem", "@VirusType", "@ScannerType", "@ActionTaken"
      FROM dbo."Alerts" a WHERE a."AlertID" = "@AlertID" AND a."AlertType" = 2;
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 22 END;
END $$;

-- Every virus alert of a computer, newest first. 39: no such computer.
CREATE FUNCTION dbo."GetVirusAlertDetails"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    IF NOT dbo.corvex_is_live("@ComputerID") THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR
        SELECT a."InfectedItem" AS "InfectedItem", a."VirusName" AS "VirusName",
               a."UserName" AS "UserName", a."Outstanding" AS "Outstanding",
               a."ActionTaken" AS "ActionTaken", a."ScannerType" AS "ScannerType",
               a."VirusType" AS "VirusType", a."AlertTime" AS "TimeDetected"
          FROM dbo."Alerts" a WHERE a."ComputerID" = "@ComputerID" AND a."AlertType" = 2
         ORDER BY a."AlertTime" DESC, a."AlertID" DESC;
    "@RETURN_VALUE" := 0;
END $$;

-- Every error alert of a computer, newest first. 39: no such computer.
CREATE FUNCTION dbo."GetErrorAlertDetails"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    IF NOT dbo.corvex_is_live("@ComputerID") THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR
        SELECT a."AlertTime" AS "TimeDetected", a."UserName" AS "UserName",
               a."Source" AS "Source", a."EntityInfo" AS "EntityInfo", a."Number" AS "Number",
               a."MessageCode" AS "MessageCode", a."Outstanding" AS "Outstanding",
               a."Insert1" AS "Insert1", a."Insert2" AS "Insert2", a."Insert3" AS "Insert3",
               a."Insert4" AS "Insert4", a."Insert5" AS "Insert5"
          FROM dbo."Alerts" a WHERE a."ComputerID" = "@ComputerID" AND a."AlertType" = 1
         ORDER BY a."AlertTime" DESC, a."AlertID" DESC;
    "@RETURN_VALUE" := 0;
END $$;

-- Marks one alert of a computer ("@AlertID"), or all of them (NULL), as dealt with.
-- 39: no such computer; 22: the alert is not one of the computer's.
CREATE FUNCTION dbo."MarkAlertsAsDealtWith"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@AlertID" integer)
LANGUAGE plpgsql AS $$
DECLARE
    v_errors integer;
    v_viruses integer;
BEGIN
    PERFORM dbo.corvex_lock_alerts_shared();
    PERFORM 1 FROM dbo."Computers" c WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted"
        FOR UPDATE;
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    IF "@AlertID" IS NOT NULL AND NOT EXISTS (
           SELECT 1 FROM dbo."Alerts" a
            WHERE a."AlertID" = "@AlertID" AND a."ComputerID" = "@ComputerID") THEN
        "@RETURN_VALUE" := 22;
        RETURN;
    END IF;
    WITH dealt AS (
        UPDATE dbo."Alerts" a SET "Outstanding" = false, "DealtWithTime" = localtimestamp
         WHERE a."ComputerID" = "@ComputerID" AND a."Outstanding"
           AND ("@AlertID" IS NULL OR a."AlertID" = "@AlertID")
        RETURNING a."AlertType")
    SELECT count(*) FILTER (WHERE d."AlertType" = 1), count(*) FILTER (WHERE d."AlertType" = 2)
      INTO v_errors, v_viruses FROM dealt d;
    UPDATE dbo."Computers" c SET
           "OutstandingErrorAlerts" = c."OutstandingErrorAlerts" - v_errors,
           "OutstandingVirusAlerts" = c."OutstandingVirusAlerts" - v_viruses
     WHERE c."ComputerID" = "@ComputerID" AND (v_errors > 0 OR v_viruses > 0);
    "@RETURN_VALUE" := 0;
END $$;

-- Deletes the alerts the policy rejects: method 1 those older than p_months months, method 2
-- all but the p_maximum newest, method 3 both, method 0 none. Returns the number deleted, or
-- NULL, having changed nothing, when other changes of alerts held it up for two seconds or
-- would have deadlocked with it.
CREATE OR REPLACE FUNCTION dbo.corvex_purge_alerts(p_method integer, p_months integer,
                                                   p_maximum integer) RETURNS integer
LANGUAGE plpgsql SET lock_timeout = '2s' AS $$
DECLARE
    v_cutoff timestamp;
    v_time timestamp;
    v_id integer;
    v_deleted integer;
    v_computers integer[];
    v_errors integer[];
    v_viruses integer[];
BEGIN
    PERFORM pg_advisory_xact_lock(1129271896, 3);
    IF p_method IN (1, 3) THEN
        v_cutoff := localtimestamp - make_interval(months => p_months);
    END IF;
    IF p_method IN (2, 3) THEN
        SELECT a."AlertTime", a."AlertID" INTO v_time, v_id FROM dbo."Alerts" a
         ORDER BY a."AlertTime" DESC, a."AlertID" DESC OFFSET p_maximum LIMIT 1;
    END IF;
    -- One pass deletes both ways; the outstanding alerts it takes are subtracted from their
    -- computers' counts, whose rows are locked in id order.
    WITH gone AS (
        DELETE FROM dbo."Alerts" a
         WHERE a."AlertTime" < v_cutoff
            OR (a."AlertTime", a."AlertID") <= (v_time, v_id)
        RETURNING a."ComputerID", a."AlertType", a."Outstanding"
    ), lost AS (
        SELECT g."ComputerID",
               count(*) FILTER (WHERE g."Outstanding" AND g."AlertType" = 1)::integer AS errors,
               count(*) FILTER (WHERE g."Outstanding" AND g."AlertType" = 2)::integer AS viruses
          FROM gone g WHERE g."Outstanding" GROUP BY g."ComputerID"
    )
    SELECT (SELECT count(*) FROM gone),
           array_agg(l."ComputerID" ORDER BY l."ComputerID"),
           array_agg(l.errors ORDER BY l."ComputerID"),
           array_agg(l.viruses ORDER BY l."ComputerID")
      INTO v_deleted, v_computers, v_errors, v_viruses
      FROM lost l;
    IF v_computers IS NOT NULL THEN
        PERFORM 1 FROM dbo."Computers" c WHERE c."ComputerID" = ANY (v_computers)
          ORDER BY c."ComputerID" FOR UPDATE;
        UPDATE dbo."Computers" c SET
               "OutstandingErrorAlerts" = c."OutstandingErrorAlerts" - u.errors,
               "OutstandingVirusAlerts" = c."OutstandingVirusAlerts" - u.viruses
          FROM unnest(v_computers, v_errors, v_viruses) AS u(id, errors, viruses)
         WHERE c."ComputerID" = u.id;
    END IF;
    UPDATE dbo."Settings" SET "LastPurgeTime" = localtimestamp, "LastPurgeCount" = v_deleted;
    RETURN v_deleted;
EXCEPTION WHEN lock_not_available OR deadlock_detected THEN
    RETURN NULL;
END $$;

CREATE FUNCTION dbo."GetPurgeSettings"(
    OUT "@RETURN_VALUE" integer,
    OUT "@Method" integer,
    OUT "@Months" integer,
    OUT "@Maximum" integer)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT s."PurgeMethod", s."PurgeMonths", s."PurgeMaximum"
      INTO "@Method", "@Months", "@Maximum" FROM dbo."Settings" s;
    "@RETURN_VALUE" := 0;
END $$;

-- Stores the purge policy and applies it at once. 1: a value out of range (method 0-3,
-- months 1-1200, maximum >= 0); 4: the purge failed (another purge or long-running change of
-- alerts held it up); in both cases nothing changes.
CREATE FUNCTION dbo."SetPurgeSettings"(
    OUT "@RETURN_VALUE" integer,
    "@Method" integer,
    "@Months" integer,
    "@Maximum" integer)
LANGUAGE plpgsql AS $$
BEGIN
    IF "@Method" IS NULL OR "@Method" NOT BETWEEN 0 AND 3
       OR "@Months" IS NULL OR "@Months" NOT BETWEEN 1 AND 1200
       OR "@Maximum" IS NULL OR "@Maximum" < 0 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    IF dbo.corvex_purge_alerts("@Method", "@Months", "@Maximum") IS NULL THEN
        "@RETURN_VALUE" := 4;
        RETURN;
    END IF;
    UPDATE dbo."Settings" SET "PurgeMethod" = "@Method", "PurgeMonths" = "@Months",
           "PurgeMaximum" = "@Maximum";
    "@RETURN_VALUE" := 0;
END $$;

-- Applies the stored purge policy (for a scheduled job). 4: the purge failed.
CREATE FUNCTION dbo."PurgeAlerts"(
    OUT "@RETURN_VALUE" integer,
    OUT "@Purged" integer)
LANGUAGE plpgsql AS $$
DECLARE
    s dbo."Settings"%ROWTYPE;
BEGIN
    SELECT * INTO s FROM dbo."Settings";
    "@Purged" := dbo.corvex_purge_alerts(s."PurgeMethod", s."PurgeMonths", s."PurgeMaximum");
    "@RETURN_VALUE" := CASE WHEN "@Purged" IS NULL THEN 4 ELSE 0 END;
    "@Purged" := COALESCE("@Purged", 0);
END $$;

CREATE FUNCTION dbo."GetReportFormatInformation"(
    OUT "@RETURN_VALUE" integer,
    OUT "@CompanyName" dbo.nvarchar_256)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT s."CompanyName" INTO "@CompanyName" FROM dbo."Settings" s;
    "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."SetReportFormatInformation"(
    OUT "@RETURN_VALUE" integer,
    "@CompanyName" dbo.nvarchar_256)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Settings" SET "CompanyName" = COALESCE("@CompanyName", '');
    "@RETURN_VALUE" := 0;
END $$;
