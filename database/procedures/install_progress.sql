-- Progress of remote installations, stage by stage, for the consoles (web and command line).
-- The service writes the stages through InstallStageSet on its session channel; the consoles
-- read them with InstallProgressGet. Neither touches the install flags or result.

CREATE FUNCTION dbo.corvex_install_stage_name(p_stage smallint)
RETURNS text LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE p_stage WHEN 1 THEN 'queued' WHEN 2 THEN 'connecting' WHEN 3 THEN 'copying'
                        WHEN 4 THEN 'running' WHEN 5 THEN 'done' WHEN 6 THEN 'failed'
                        WHEN 7 THEN 'stopped' END
$$;

-- What a console says of an install result: the cause the service diagnosed, in words.
CREATE FUNCTION dbo.corvex_install_result_text(p_result integer)
RETURNS text LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE
        WHEN p_result IS NULL THEN NULL
        WHEN p_result = 0 THEN 'installed'
        WHEN p_result = -1 THEN 'the setup program did not finish within the maximum install time'
        WHEN p_result = 43 THEN 'access denied on the target computer for the account given'
        WHEN p_result = 44 THEN 'the account is not known'
        WHEN p_result = 45 THEN 'the account has an empty password, which the target refuses'
        WHEN p_result = 46 THEN 'the target computer could not be reached to schedule the setup'
        WHEN p_result = 47 THEN 'the target computer accepts no remote connections (its remote access service is not running)'
        WHEN p_result = 48 THEN 'the target computer''s task service is not available to the account'
        WHEN p_result = 49 THEN 'the target computer''s network name or path was not found'
        WHEN p_result = 50 THEN 'computers of the Windows 9x family cannot be installed remotely this way'
        WHEN p_result = 51 THEN 'access denied: the target refuses network logons without a password'
        WHEN p_result = 52 THEN 'the setup program''s exit code could not be read (access denied or path not found)'
        WHEN p_result = 54 THEN 'the update server''s credentials could not be obscured'
        WHEN p_result = 55 THEN 'logon refused for the account'
        WHEN p_result = 56 THEN 'access denied for an account with an empty password'
        WHEN p_result = 57 THEN 'the account may not log on to the target computer'
        WHEN p_result = 58 THEN 'access denied while saving the setup task on the target computer'
        WHEN p_result = 59 THEN 'access denied by the target computer (or its host key differs from the recorded one)'
        WHEN p_result = 60 THEN 'the target computer''s host key is not recorded (corvexctl install trust)'
        WHEN p_result = 99 THEN 'the setup task reported an unexpected status'
        WHEN p_result = -2147023570 THEN 'logon failure: unknown account or wrong password'
        WHEN p_result < 0 THEN 'error 0x' || upper(to_hex(p_result))
        ELSE 'the setup program ended with exit code ' || p_result
    END
$$;

-- Records that a computer's install attempt reached "@Stage" (1 queued, 2 connecting, 3 copying,
-- 4 running, 5 done, 6 failed, 7 stopped: taken off the queue before its turn; "@Result" the
-- install result of 5 and 6, else NULL). Stage 1 begins a new attempt and forgets the stages of
-- the previous one.
-- 0; 1 unknown stage; 39 no such computer.
CREATE FUNCTION dbo."InstallStageSet"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@Stage" smallint,
    "@Result" integer)
LANGUAGE plpgsql AS $$
BEGIN
    IF "@Stage" IS NULL OR "@Stage" NOT BETWEEN 1 AND 7 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    IF NOT dbo.corvex_is_live("@ComputerID") THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    IF "@Stage" = 1 THEN
        DELETE FROM dbo."InstallStages" s WHERE s."ComputerID" = "@ComputerID";
    END IF;
    INSERT INTO dbo."InstallStages" ("ComputerID", "Stage", "Result")
    VALUES ("@ComputerID", "@Stage", CASE WHEN "@Stage" IN (5, 6) THEN "@Result" END);
    "@RETURN_VALUE" := 0;
END $$;

-- The latest install attempt of computers, one row per stage reached, oldest stage first, with
-- "Current" on the newest stage of each computer. "@ComputerIDList" ("3,7;12") names the
-- computers (NULL: every computer with an attempt); "@Hours" keeps only attempts that moved in
-- the last that many hours (NULL: any); "@Limit" the most recently moved computers (NULL: all).
-- "Attempt" names the attempt (a new one has a greater number); "Cause" is the result in words.
-- "Interrupted": the attempt stopped short of an outcome and the service no longer holds the
-- computer (neither pending nor in progress: the service restarted under it).
-- "StageTime" is local time with milliseconds, "YYYY-MM-DD HH:MM:SS.mmm".
-- 0; 1 malformed list, negative hours or limit.
CREATE FUNCTION dbo."InstallProgressGet"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerIDList" text,
    "@Hours" integer,
    "@Limit" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
DECLARE
    v_ids integer[];
BEGIN
    IF ("@Hours" IS NOT NULL AND "@Hours" < 0) OR ("@Limit" IS NOT NULL AND "@Limit" < 0) THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    IF "@ComputerIDList" IS NOT NULL THEN
        IF "@ComputerIDList" !~ '^\s*\d{1,10}(\s*[,;]\s*\d{1,10})*\s*$' THEN
            "@RETURN_VALUE" := 1;
            RETURN;
        END IF;
        BEGIN
            SELECT array_agg(DISTINCT x::integer) INTO v_ids
              FROM regexp_split_to_table(trim("@ComputerIDList"), '\s*[,;]\s*') AS x;
        EXCEPTION WHEN numeric_value_out_of_range THEN
            "@RETURN_VALUE" := 1;
            RETURN;
        END;
    END IF;
    -- A computer holds at most seven stage rows (one attempt), so the newest 7 x "@Limit" rows
    -- name the "@Limit" computers that moved last: the page reads them off the index instead of
    -- grouping every stage of the day.
    OPEN "@RowSet" FOR
        WITH newest AS (
            SELECT s."ComputerID", s."Seq", s."StageTime"
              FROM dbo."InstallStages" s
             WHERE v_ids IS NULL OR s."ComputerID" = ANY (v_ids)
             ORDER BY s."Seq" DESC
             LIMIT "@Limit" * 7),
        latest AS (
            SELECT n."ComputerID", max(n."Seq") AS last_seq
              FROM newest n
             GROUP BY n."ComputerID"
            HAVING "@Hours" IS NULL OR max(n."StageTime") >= clock_timestamp() - make_interval(hours => "@Hours")
             ORDER BY last_seq DESC
             LIMIT "@Limit")
        SELECT s."ComputerID", c."ComputerName"::text AS "ComputerName",
               dbo.corvex_install_stage_name(s."Stage") AS "Stage", s."Result",
               CASE WHEN s."Stage" = 7 THEN 'taken off the queue before its turn (install stop)'
                    ELSE dbo.corvex_install_result_text(s."Result") END AS "Cause",
               to_char(s."StageTime", 'YYYY-MM-DD HH24:MI:SS.MS') AS "StageTime",
               s."Seq" = l.last_seq AS "Current",
               min(s."Seq") OVER (PARTITION BY s."ComputerID") AS "Attempt",
               (s."Seq" = l.last_seq AND s."Stage" < 5
                AND NOT c."InstallPending" AND NOT c."InstallInProgress") AS "Interrupted"
          FROM latest l
          JOIN dbo."InstallStages" s ON s."ComputerID" = l."ComputerID"
          JOIN dbo."Computers" c ON c."ComputerID" = s."ComputerID" AND NOT c."Deleted"
         ORDER BY l.last_seq DESC, s."Seq";
    "@RETURN_VALUE" := 0;
END $$;
