-- Lists for the web console: each page's data in one call, paged in the database so that a
-- browser never receives 100,000 rows at once. Read-only; the console's changes go through the
-- service's own procedures.

-- The fleet at a glance, and alerts per day for the last "@Days" days (today included), one row
-- per day, oldest first, days without alerts included. 1 when "@Days" is outside 1-366.
CREATE FUNCTION dbo."WebOverviewGet"(
    OUT "@RETURN_VALUE" integer,
    "@Days" integer,
    OUT "@Computers" integer,
    OUT "@Managed" integer,
    OUT "@Connected" integer,
    OUT "@DexInstalled" integer,
    OUT "@DexActive" integer,
    OUT "@OutOfDate" integer,
    OUT "@ConfigDiffers" integer,
    OUT "@ComputersWithAlerts" integer,
    OUT "@OpenVirusAlerts" integer,
    OUT "@OpenErrorAlerts" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_newest numeric[];
BEGIN
    IF "@Days" IS NULL OR "@Days" NOT BETWEEN 1 AND 366 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    SELECT max(v."VersionKey") INTO v_newest FROM dbo."VirusDataVersions" v;
    -- One pass over the computers; the outstanding counts are kept on each row.
    SELECT count(*),
           count(*) FILTER (WHERE c."MessageSystemAddress" IS NOT NULL),
           count(*) FILTER (WHERE c."Connected"),
           count(*) FILTER (WHERE c."DexInstalled"),
           count(*) FILTER (WHERE c."DexInstalled" AND c."DexRunning" IS NOT FALSE
                                  AND c."DexOnAccess" IS NOT FALSE),
           count(*) FILTER (WHERE c."VirusDataKey" < v_newest),
           count(*) FILTER (WHERE c."HasGroupAUConfig" = false OR c."HasGroupDexConfig" = false),
           count(*) FILTER (WHERE c."AlertState" <> 0),
           COALESCE(sum(c."OutstandingVirusAlerts"), 0),
           COALESCE(sum(c."OutstandingErrorAlerts"), 0)
      INTO "@Computers", "@Managed", "@Connected", "@DexInstalled", "@DexActive", "@OutOfDate",
           "@ConfigDiffers", "@ComputersWithAlerts", "@OpenVirusAlerts", "@OpenErrorAlerts"
      FROM dbo."Computers" c
     WHERE NOT c."Deleted";
    OPEN "@RowSet" FOR
        SELECT to_char(d, 'YYYY-MM-DD') AS "Day",
               COALESCE(a.virus, 0)::integer AS "VirusAlerts",
               COALESCE(a.error, 0)::integer AS "ErrorAlerts"
          FROM generate_series(current_date - ("@Days" - 1), current_date, interval '1 day') d
          LEFT JOIN (SELECT x."AlertTime"::date AS day,
                            count(*) FILTER (WHERE x."AlertType" = 2) AS virus,
                            count(*) FILTER (WHERE x."AlertType" = 1) AS error
                       FROM dbo."Alerts" x
                      WHERE x."AlertTime" >= current_date - ("@Days" - 1)
                      GROUP BY 1) a ON a.day = d::date
         ORDER BY 1;
    "@RETURN_VALUE" := 0;
END $$;

-- A page of computers with the columns of the console's table. Filters (NULL: not applied):
-- "@GroupID" a group (with "@Subgroups" non-zero, also its descendants; the unassigned group:
-- computers of no group; the root: all), "@Connected" 1 connected / 0 not, "@Alerts" 1 any
-- outstanding / 2 virus / 3 error, "@Name" a part of the name (case-insensitive). Orders as
-- GetComputerList's "@OrderBy". "@Total" counts every computer the filters select.
-- 1 for an unknown order, an offset below 0 or a count outside 1-1000; 22 no such group.
CREATE FUNCTION dbo."WebComputerPageGet"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@Subgroups" integer,
    "@Connected" integer,
    "@Alerts" integer,
    "@Name" dbo.nvarchar_31,
    "@OrderBy" integer,
    "@Ascending" integer,
    "@Offset" integer,
    "@Count" integer,
    OUT "@Total" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
DECLARE
    v_where text := 'NOT c."Deleted"';
    v_order text;
    v_dir text := CASE WHEN COALESCE("@Ascending", 1) <> 0 THEN 'ASC' ELSE 'DESC' END;
    v_group integer;
    v_groups integer[];
    v_newest numeric[];
BEGIN
    v_order := CASE "@OrderBy"
        WHEN 0 THEN 'c."ComputerID" %1$s'
        WHEN 1 THEN 'lower(c."ComputerName") %1$s'
        WHEN 2 THEN 'lower(c."DomainName") %1$s, lower(c."ComputerName") %1$s'
        WHEN 3 THEN 'c."OperatingSystem" %1$s, lower(c."ComputerName") %1$s'
        WHEN 4 THEN 'c."LastMessageTime" %1$s NULLS LAST, c."ComputerID" %1$s'
        WHEN 5 THEN 'c."IPAddress" %1$s NULLS LAST, c."ComputerID" %1$s'
        WHEN 6 THEN 'c."LastScanDateTime" %1$s NULLS LAST, c."ComputerID" %1$s'
    END;
    IF v_order IS NULL OR COALESCE("@Offset", -1) < 0 OR COALESCE("@Count", 0) NOT BETWEEN 1 AND 1000
       OR COALESCE("@Alerts", 1) NOT BETWEEN 1 AND 3 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    IF "@GroupID" IS NOT NULL THEN
        CASE dbo.corvex_group_kind("@GroupID")
            WHEN 'root' THEN NULL;
            WHEN 'unassigned' THEN v_where := v_where || ' AND c."GroupID" IS NULL';
            ELSE
                v_group := dbo.corvex_group_row("@GroupID");
                IF v_group IS NULL THEN
                    "@RETURN_VALUE" := 22;
                    RETURN;
                END IF;
                IF COALESCE("@Subgroups", 0) <> 0 THEN
                    SELECT array_agg(s."GroupID") INTO v_groups FROM dbo.corvex_subtree(v_group) s;
                ELSE
                    v_groups := ARRAY[v_group];
                END IF;
                v_where := v_where || format(' AND c."GroupID" = ANY (%L::integer[])', v_groups);
        END CASE;
    END IF;
    IF "@Connected" IS NOT NULL THEN
        v_where := v_where || CASE WHEN "@Connected" <> 0 THEN ' AND c."Connected"'
                                   ELSE ' AND c."Connected" IS NOT TRUE' END;
    END IF;
    v_where := v_where || CASE "@Alerts"
        WHEN 1 THEN ' AND c."AlertState" <> 0'
        WHEN 2 THEN ' AND c."AlertState" IN (2, 3)'
        WHEN 3 THEN ' AND c."AlertState" IN (1, 3)'
        ELSE '' END;
    IF COALESCE("@Name", '') <> '' THEN
        -- A part of the name, the LIKE wildcards taken literally.
        v_where := v_where || format(' AND lower(c."ComputerName") LIKE %L',
            '%' || regexp_replace(lower("@Name"), '([\\%_])', '\\\1', 'g') || '%');
    END IF;
    SELECT max(v."VersionKey") INTO v_newest FROM dbo."VirusDataVersions" v;
    EXECUTE 'SELECT count(*) FROM dbo."Computers" c WHERE ' || v_where INTO "@Total";
    -- The page's ids first, from the ordering index alone where it can; the columns only for them.
    OPEN "@RowSet" FOR EXECUTE
        'WITH page AS (SELECT c."ComputerID", row_number() OVER () AS n FROM
                         (SELECT c."ComputerID" FROM dbo."Computers" c WHERE ' || v_where
                          || ' ORDER BY ' || format(v_order, v_dir)
                          || format(' LIMIT %s OFFSET %s', "@Count", "@Offset") || ') c)
         SELECT c."ComputerID", c."ComputerName", c."DomainName",
                COALESCE(c."GroupID"::bigint, 4294967294) AS "GroupID", g."Name" AS "GroupName",
                c."OperatingSystem", c."MessageSystemAddress" IS NOT NULL AS "Managed",
                c."Connected", c."DexInstalled", c."DexRunning", c."VirusDataVersion",
                COALESCE(c."VirusDataKey" < $1, false) AS "OutOfDate",
                c."AlertState"::integer AS "AlertState", c."OutstandingVirusAlerts",
                c."OutstandingErrorAlerts", c."HasGroupAUConfig", c."HasGroupDexConfig",
                c."IPAddress", c."LastMessageTime", c."InstallPending" OR c."InstallInProgress" AS "Installing"
           FROM page p JOIN dbo."Computers" c ON c."ComputerID" = p."ComputerID"
           LEFT JOIN dbo."Groups" g ON g."GroupID" = c."GroupID"
          ORDER BY p.n'
        USING v_newest;
    "@RETURN_VALUE" := 0;
END $$;

-- A page of alerts, newest first. Filters (NULL: not applied): "@AlertType" 1 error / 2 virus,
-- "@ComputerID", "@Outstanding" 1 outstanding only / 0 dealt with only. "@Total" counts them.
-- 1 for an unknown type, an offset below 0 or a count outside 1-1000.
CREATE FUNCTION dbo."WebAlertPageGet"(
    OUT "@RETURN_VALUE" integer,
    "@AlertType" integer,
    "@ComputerID" integer,
    "@Outstanding" integer,
    "@Offset" integer,
    "@Count" integer,
    OUT "@Total" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
DECLARE
    v_where text := 'true';
BEGIN
    IF COALESCE("@AlertType", 1) NOT IN (1, 2) OR COALESCE("@Offset", -1) < 0
       OR COALESCE("@Count", 0) NOT BETWEEN 1 AND 1000 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    IF "@AlertType" IS NOT NULL THEN
        v_where := v_where || format(' AND a."AlertType" = %s', "@AlertType");
    END IF;
    IF "@ComputerID" IS NOT NULL THEN
        v_where := v_where || format(' AND a."ComputerID" = %s', "@ComputerID");
    END IF;
    IF "@Outstanding" IS NOT NULL THEN
        v_where := v_where || CASE WHEN "@Outstanding" <> 0 THEN ' AND a."Outstanding"'
                                   ELSE ' AND NOT a."Outstanding"' END;
    END IF;
    EXECUTE 'SELECT count(*) FROM dbo."Alerts" a WHERE ' || v_where INTO "@Total";
    OPEN "@RowSet" FOR EXECUTE
        'WITH page AS (SELECT a."AlertID", row_number() OVER () AS n FROM
                         (SELECT a."AlertID" FROM dbo."Alerts" a WHERE ' || v_where
                          || ' ORDER BY a."AlertTime" DESC, a."AlertID" DESC'
                          || format(' LIMIT %s OFFSET %s', "@Count", "@Offset") || ') a)
         SELECT a."AlertID", a."ComputerID", c."ComputerName", a."AlertType"::integer AS "AlertType",
                a."AlertTime", a."UserName", a."Outstanding", a."VirusName", a."InfectedItem",
                a."Source", a."MessageCode", a."Number"
           FROM page p JOIN dbo."Alerts" a ON a."AlertID" = p."AlertID"
           JOIN dbo."Computers" c ON c."ComputerID" = a."ComputerID"
          ORDER BY p.n';
    "@RETURN_VALUE" := 0;
END $$;

-- Every group in tree order with its depth and its direct computers, then the unassigned group
-- (ParentID NULL, depth 1), so that a console draws the tree from one call.
CREATE FUNCTION dbo."WebGroupTreeGet"(
    OUT "@RETURN_VALUE" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    OPEN "@RowSet" FOR
        WITH counts AS (
            SELECT c."GroupID", count(*)::integer AS n FROM dbo."Computers" c
             WHERE NOT c."Deleted" GROUP BY c."GroupID"
        )
        SELECT r."GroupID", r."ParentID", r."Name", r."Depth", r."Computers"
          FROM (SELECT g."GroupID"::bigint AS "GroupID", g."ParentID"::bigint AS "ParentID",
                       g."Name"::text AS "Name", t."Depth", COALESCE(n.n, 0) AS "Computers",
                       t."Path"
                  FROM dbo.corvex_tree_order(NULL) t
                  JOIN dbo."Groups" g ON g."GroupID" = t."GroupID"
                  LEFT JOIN counts n ON n."GroupID" = g."GroupID"
                UNION ALL
                SELECT 4294967294, NULL, NULL, 1,
                       (SELECT COALESCE(max(n.n), 0) FROM counts n WHERE n."GroupID" IS NULL),
                       ARRAY[2147483647]) r
         ORDER BY r."Path";
    "@RETURN_VALUE" := 0;
END $$;
