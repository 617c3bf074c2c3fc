-- The web console's charts, its outbreak view and its exports: every figure is aggregated here,
-- so that a browser receives a few hundred numbers however large the fleet. Read-only.
--
-- Kinds of detection: "virus" a virus alert; "update" an error alert from the update component
-- or the library server (source "ALC" or "TzLib"); "error" every other error alert.
-- A computer's group is the group it is in (not its ancestors); computers of no group count
-- under the unassigned group (4294967294).

-- Detections per hour by kind for the last "@Days" days (the current hour included), one row
-- per hour, oldest first, hours without detections included. 1 when "@Days" is outside 1-31.
CREATE FUNCTION dbo."WebDetectionsPerHourGet"(
    OUT "@RETURN_VALUE" integer,
    "@Days" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_first timestamp;
BEGIN
    IF "@Days" IS NULL OR "@Days" NOT BETWEEN 1 AND 31 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    v_first := date_trunc('hour', localtimestamp) - make_interval(hours => 24 * "@Days" - 1);
    OPEN "@RowSet" FOR
        SELECT to_char(h, 'YYYY-MM-DD HH24:00') AS "Hour",
               COALESCE(a.virus, 0)::integer AS "Virus",
               COALESCE(a.error, 0)::integer AS "Error",
               COALESCE(a."update", 0)::integer AS "Update"
          FROM generate_series(v_first, date_trunc('hour', localtimestamp), interval '1 hour') h
          LEFT JOIN (SELECT date_trunc('hour', x."AlertTime") AS hour,
                            count(*) FILTER (WHERE x."AlertType" = 2) AS virus,
                            count(*) FILTER (WHERE x."AlertType" = 1
                                             AND x."Source" NOT IN ('ALC', 'TzLib')) AS error,
                            count(*) FILTER (WHERE x."AlertType" = 1
                                             AND x."Source" IN ('ALC', 'TzLib')) AS "update"
                       FROM dbo."Alerts" x
                      WHERE x."AlertTime" >= v_first
                      GROUP BY 1) a ON a.hour = h
         ORDER BY h;
    "@RETURN_VALUE" := 0;
END $$;

-- The most detected viruses and the most affected computers and groups over the last "@Days"
-- days (1-366), "@Count" (1-100) of each, from one pass over the period's virus detections: one
-- row per item, "Kind" 'virus' ("VirusName", "Detections", "Computers": how many reported it),
-- 'computer' ("ComputerID", "ComputerName", "GroupID", "GroupName", "Detections", "Viruses":
-- distinct names) and 'group' ("GroupID", "GroupName", "Detections", "Computers": how many of its
-- computers reported one); each kind most detections first. Deleted computers are left out of
-- computers and groups. 1 for days or count out of range.
CREATE FUNCTION dbo."WebTopGet"(
    OUT "@RETURN_VALUE" integer,
    "@Days" integer,
    "@Count" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 SET work_mem = '32MB' AS $$
BEGIN
    IF "@Days" IS NULL OR "@Days" NOT BETWEEN 1 AND 366 OR "@Count" IS NULL OR "@Count" NOT BETWEEN 1 AND 100 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    -- Detections per computer and virus first (hashed, read from the index alone); the three
    -- rankings come from that, so the period's detections are read once.
    OPEN "@RowSet" FOR
        WITH pairs AS MATERIALIZED (
            SELECT x."ComputerID" AS computer, x."VirusName" AS virus, count(*) AS n
              FROM dbo."Alerts" x
             WHERE x."AlertType" = 2 AND x."AlertTime" >= localtimestamp - make_interval(days => "@Days")
             GROUP BY 1, 2),
        per_computer AS MATERIALIZED (
            SELECT t.computer, t.n, t.viruses, c."GroupID", c."ComputerName"
              FROM (SELECT p.computer, sum(p.n) AS n, count(*) AS viruses FROM pairs p GROUP BY p.computer) t
              JOIN dbo."Computers" c ON c."ComputerID" = t.computer AND NOT c."Deleted"),
        viruses AS (
            SELECT p.virus, sum(p.n) AS n, count(*) AS computers FROM pairs p
             GROUP BY p.virus ORDER BY 2 DESC, 1 LIMIT "@Count"),
        computers AS (
            SELECT * FROM per_computer ORDER BY n DESC, computer LIMIT "@Count"),
        groups AS (
            SELECT pc."GroupID", sum(pc.n) AS n, count(*) AS computers FROM per_computer pc
             GROUP BY pc."GroupID" ORDER BY 2 DESC, 1 NULLS LAST LIMIT "@Count")
        SELECT r."Kind", r."VirusName", r."ComputerID", r."ComputerName",
               COALESCE(r."GroupID"::bigint, 4294967294) AS "GroupID", g."Name"::text AS "GroupName",
               r."Detections"::integer AS "Detections", r."Computers"::integer AS "Computers",
               r."Viruses"::integer AS "Viruses"
          FROM (SELECT 1 AS o, 'virus' AS "Kind", v.virus::text AS "VirusName", NULL::integer AS "ComputerID",
                       NULL::text AS "ComputerName", NULL::integer AS "GroupID", v.n AS "Detections",
                       v.computers AS "Computers", NULL::bigint AS "Viruses"
                  FROM viruses v
                UNION ALL
                SELECT 2, 'computer', NULL, c.computer, c."ComputerName"::text, c."GroupID", c.n, NULL, c.viruses
                  FROM computers c
                UNION ALL
                SELECT 3, 'group', NULL, NULL, NULL, gr."GroupID", gr.n, gr.computers, NULL
                  FROM groups gr) r
          LEFT JOIN dbo."Groups" g ON g."GroupID" = r."GroupID"
         ORDER BY r.o, r."Detections" DESC, r."VirusName", r."ComputerID", r."GroupID" NULLS LAST;
    "@RETURN_VALUE" := 0;
END $$;

-- Per group, how many of its computers match the group's anti-virus ("Dex") and update ("AU")
-- configuration: yes, no, unknown (not yet compared). Groups with computers only, those with
-- the most computers not matching first. "GroupName" NULL for the unassigned group.
CREATE FUNCTION dbo."WebComplianceGet"(
    OUT "@RETURN_VALUE" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    OPEN "@RowSet" FOR
        SELECT COALESCE(t."GroupID"::bigint, 4294967294) AS "GroupID", g."Name"::text AS "GroupName",
               t.computers::integer AS "Computers",
               t.dex_yes::integer AS "DexYes", t.dex_no::integer AS "DexNo", t.dex_unknown::integer AS "DexUnknown",
               t.au_yes::integer AS "AUYes", t.au_no::integer AS "AUNo", t.au_unknown::integer AS "AUUnknown"
          FROM (SELECT c."GroupID", count(*) AS computers,
                       count(*) FILTER (WHERE c."HasGroupDexConfig") AS dex_yes,
                       count(*) FILTER (WHERE NOT c."HasGroupDexConfig") AS dex_no,
                       count(*) FILTER (WHERE c."HasGroupDexConfig" IS NULL) AS dex_unknown,
                       count(*) FILTER (WHERE c."HasGroupAUConfig") AS au_yes,
                       count(*) FILTER (WHERE NOT c."HasGroupAUConfig") AS au_no,
                       count(*) FILTER (WHERE c."HasGroupAUConfig" IS NULL) AS au_unknown
                  FROM dbo."Computers" c
                 WHERE NOT c."Deleted"
                 GROUP BY c."GroupID") t
          LEFT JOIN dbo."Groups" g ON g."GroupID" = t."GroupID"
         ORDER BY t.dex_no + t.au_no DESC, t.computers DESC, 1;
    "@RETURN_VALUE" := 0;
END $$;

-- The virus-data versions the computers run, oldest first, then the computers that reported
-- none ("Version" ''): "Version", "Computers", "Groups" (how many groups hold such computers),
-- "FirstSeen" (when any computer first reported it; NULL for none), "Newest" (the newest known).
CREATE FUNCTION dbo."WebVirusDataVersionsGet"(
    OUT "@RETURN_VALUE" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_newest numeric[];
BEGIN
    SELECT max(v."VersionKey") INTO v_newest FROM dbo."VirusDataVersions" v;
    -- Counted by version text and group first (hashed), and only the few distinct texts turned
    -- into version keys: grouping every computer by its key compares arrays, which is slow.
    OPEN "@RowSet" FOR
        WITH per_group AS (
            SELECT c."VirusDataVersion"::text AS version, c."GroupID", count(*) AS n
              FROM dbo."Computers" c
             WHERE NOT c."Deleted"
             GROUP BY 1, 2),
        keys AS (
            SELECT d.version, CASE WHEN d.version <> '' THEN dbo.version_key(d.version) END AS key
              FROM (SELECT DISTINCT p.version FROM per_group p) d),
        t AS (
            SELECT k.key, min(p.version) AS version, sum(p.n) AS computers,
                   count(DISTINCT COALESCE(p."GroupID", 0)) AS groups
              FROM per_group p JOIN keys k ON k.version = p.version
             GROUP BY k.key)
        SELECT CASE WHEN t.key IS NULL THEN '' ELSE t.version END AS "Version",
               t.computers::integer AS "Computers", t.groups::integer AS "Groups",
               v."FirstSeen", COALESCE(t.key = v_newest, false) AS "Newest"
          FROM t
          LEFT JOIN dbo."VirusDataVersions" v ON v."VersionKey" = t.key
         ORDER BY t.key NULLS LAST;
    "@RETURN_VALUE" := 0;
END $$;

-- The outbreak of one virus: every computer that reported "@VirusName", in the order they first
-- did, with "GroupID", "GroupName", "FirstSeen", "LastSeen", "Detections", "Outstanding" (its
-- alerts not yet dealt with) and "Cleaned": whether the action of its latest detection removed
-- or contained the virus (NULL when the action is not known). 1 for an empty name.
CREATE FUNCTION dbo."WebOutbreakGet"(
    OUT "@RETURN_VALUE" integer,
    "@VirusName" dbo.nvarchar_32,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    IF COALESCE("@VirusName", '') = '' THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR
        SELECT c."ComputerID", c."ComputerName"::text AS "ComputerName",
               COALESCE(c."GroupID"::bigint, 4294967294) AS "GroupID", g."Name"::text AS "GroupName",
               t.first_seen AS "FirstSeen", t.last_seen AS "LastSeen", t.detections::integer AS "Detections",
               t.outstanding::integer AS "Outstanding",
               CASE WHEN t.last_action IN (102, 103, 104, 105, 107, 108, 109, 111, 112) THEN true
                    WHEN t.last_action IN (101, 106, 110, 113, 114, 115) THEN false END AS "Cleaned"
          FROM (SELECT x."ComputerID", min(x."AlertTime") AS first_seen, max(x."AlertTime") AS last_seen,
                       count(*) AS detections, count(*) FILTER (WHERE x."Outstanding") AS outstanding,
                       (array_agg(x."ActionTaken" ORDER BY x."AlertTime" DESC, x."AlertID" DESC))[1] AS last_action
                  FROM dbo."Alerts" x
                 WHERE x."AlertType" = 2 AND x."VirusName" = "@VirusName"
                 GROUP BY x."ComputerID") t
          JOIN dbo."Computers" c ON c."ComputerID" = t."ComputerID" AND NOT c."Deleted"
          LEFT JOIN dbo."Groups" g ON g."GroupID" = c."GroupID"
         ORDER BY t.first_seen, c."ComputerID";
    "@RETURN_VALUE" := 0;
END $$;

-- The outbreak rule's figures: every virus detected in the last "@Minutes" minutes, with
-- "Computers" (how many reported it in that time), "FirstSeen" and "LastSeen" within it, most
-- computers first. The caller decides which make an outbreak. 1 for minutes outside 1-10080.
CREATE FUNCTION dbo."WebOutbreakCheck"(
    OUT "@RETURN_VALUE" integer,
    "@Minutes" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    IF "@Minutes" IS NULL OR "@Minutes" NOT BETWEEN 1 AND 10080 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR
        SELECT x."VirusName"::text AS "VirusName", count(DISTINCT x."ComputerID")::integer AS "Computers",
               min(x."AlertTime") AS "FirstSeen", max(x."AlertTime") AS "LastSeen"
          FROM dbo."Alerts" x
         WHERE x."AlertType" = 2 AND x."AlertTime" >= localtimestamp - make_interval(mins => "@Minutes")
         GROUP BY x."VirusName"
         ORDER BY 2 DESC, 1;
    "@RETURN_VALUE" := 0;
END $$;

-- Exports read page by page by a rising id: the "@Count" rows after "@AfterID" (NULL: from the
-- start). 1 for a count outside 1-10000.

-- Computers (deleted ones left out) with the columns of the console's table.
CREATE FUNCTION dbo."WebComputerExportGet"(
    OUT "@RETURN_VALUE" integer,
    "@AfterID" integer,
    "@Count" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_newest numeric[];
BEGIN
    IF "@Count" IS NULL OR "@Count" NOT BETWEEN 1 AND 10000 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    SELECT max(v."VersionKey") INTO v_newest FROM dbo."VirusDataVersions" v;
    OPEN "@RowSet" FOR
        SELECT c."ComputerID", c."ComputerName"::text AS "ComputerName", c."DomainName"::text AS "DomainName",
               COALESCE(c."GroupID"::bigint, 4294967294) AS "GroupID", g."Name"::text AS "GroupName",
               c."OperatingSystem", c."Description"::text AS "Description",
               CASE WHEN c."IPAddress" IS NOT NULL THEN
                   (c."IPAddress" >> 24) || '.' || ((c."IPAddress" >> 16) & 255) || '.'
                   || ((c."IPAddress" >> 8) & 255) || '.' || (c."IPAddress" & 255) END AS "IPAddress",
               c."MessageSystemAddress" IS NOT NULL AS "Managed", c."Connected", c."LastMessageTime",
               c."DexInstalled", c."DexRunning", c."DexOnAccess", c."DexVersion"::text AS "DexVersion",
               c."VirusDataVersion"::text AS "VirusDataVersion",
               COALESCE(c."VirusDataKey" < v_newest, false) AS "OutOfDate",
               c."HasGroupDexConfig", c."HasGroupAUConfig",
               c."OutstandingVirusAlerts", c."OutstandingErrorAlerts",
               c."LastLoggedOnUser"::text AS "LastLoggedOnUser", c."LastScanDateTime"
          FROM dbo."Computers" c
          LEFT JOIN dbo."Groups" g ON g."GroupID" = c."GroupID"
         WHERE NOT c."Deleted" AND c."ComputerID" > COALESCE("@AfterID", -2147483648)
         ORDER BY c."ComputerID"
         LIMIT "@Count";
    "@RETURN_VALUE" := 0;
END $$;

-- Alerts of both kinds with the computer's name.
CREATE FUNCTION dbo."WebAlertExportGet"(
    OUT "@RETURN_VALUE" integer,
    "@AfterID" integer,
    "@Count" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    IF "@Count" IS NULL OR "@Count" NOT BETWEEN 1 AND 10000 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR
        SELECT a."AlertID", a."AlertTime",
               CASE a."AlertType" WHEN 2 THEN 'virus' ELSE 'error' END AS "AlertType",
               a."ComputerID", c."ComputerName"::text AS "ComputerName", a."UserName"::text AS "UserName",
               a."Outstanding", a."DealtWithTime",
               a."VirusName"::text AS "VirusName", a."InfectedItem"::text AS "InfectedItem", a."ActionTaken",
               a."Source"::text AS "Source", a."MessageCode"::text AS "MessageCode", a."Number",
               a."Insert1"::text AS "Insert1", a."Insert2"::text AS "Insert2", a."Insert3"::text AS "Insert3",
               a."Insert4"::text AS "Insert4", a."Insert5"::text AS "Insert5"
          FROM dbo."Alerts" a
          JOIN dbo."Computers" c ON c."ComputerID" = a."ComputerID"
         WHERE a."AlertID" > COALESCE("@AfterID", -2147483648)
         ORDER BY a."AlertID"
         LIMIT "@Count";
    "@RETURN_VALUE" := 0;
END $$;
