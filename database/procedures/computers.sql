-- Computers: identity (name, address), details, lookups, deletion and the filtered lists.

CREATE FUNCTION dbo."GetComputerDetails"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@ComputerName" dbo.nvarchar_31,
    OUT "@DomainName" dbo.nvarchar_128,
    OUT "@Description" dbo.nvarchar_512,
    OUT "@DexVersion" dbo.nvarchar_128,
    OUT "@VirusDataVersion" dbo.nvarchar_128,
    OUT "@ServicePack" dbo.nvarchar_128,
    OUT "@PrimaryCID" dbo.nvarchar_256,
    OUT "@SecondaryCID" dbo.nvarchar_256,
    OUT "@LastLoggedOnUser" dbo.nvarchar_256,
    OUT "@LastScanName" dbo.nvarchar_64,
    OUT "@OperatingSystem" integer,
    OUT "@AlertState" integer,
    OUT "@InstallFailureReason" integer,
    OUT "@IDENumber" integer,
    OUT "@ManagedFlag" boolean,
    OUT "@InstallPendingFlag" boolean,
    OUT "@InstallInProgressFlag" boolean,
    OUT "@DexInstalledFlag" boolean,
    OUT "@DexOnAccessFlag" boolean,
    OUT "@HasGroupAUConfig" boolean,
    OUT "@HasGroupDexConfig" boolean,
    OUT "@ConnectedFlag" boolean,
    OUT "@IPAddress" bigint,
    OUT "@GroupID" integer,
    OUT "@InstallTime" timestamp,
    OUT "@LastScanDateTime" timestamp,
    OUT "@Outofdate" timestamp,
    OUT "@LastMessageTime" timestamp,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    c dbo."Computers"%ROWTYPE;
BEGIN
    SELECT * INTO c FROM dbo."Computers" x WHERE x."ComputerID" = "@ComputerID" AND NOT x."Deleted";
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 22;
        RETURN;
    END IF;
    "@ComputerName" := c."ComputerName";
    "@DomainName" := c."DomainName";
    "@Description" := c."Description";
    "@DexVersion" := c."DexVersion";
    "@VirusDataVersion" := c."VirusDataVersion";
    "@ServicePack" := c."ServicePack";
    "@PrimaryCID" := c."PrimaryCID";
    "@SecondaryCID" := c."SecondaryCID";
    "@LastLoggedOnUser" := c."LastLoggedOnUser";
    "@LastScanName" := c."LastScanName";
    "@OperatingSystem" := c."OperatingSystem";
    "@AlertState" := c."AlertState";  -- 1 outstanding error alerts, 2 virus alerts, 3 both
    "@InstallFailureReason" := c."InstallResult";
    "@IDENumber" := c."IDENumber";
    "@ManagedFlag" := c."MessageSystemAddress" IS NOT NULL;
    "@InstallPendingFlag" := c."InstallPending";
    "@InstallInProgressFlag" := c."InstallInProgress";
    "@DexInstalledFlag" := c."DexInstalled";
    "@DexOnAccessFlag" := c."DexOnAccess";
    "@HasGroupAUConfig" := c."HasGroupAUConfig";
    "@HasGroupDexConfig" := c."HasGroupDexConfig";
    "@ConnectedFlag" := c."Connected";
    "@IPAddress" := c."IPAddress";
    "@GroupID" := c."GroupID";
    "@InstallTime" := c."InstallTime";
    "@LastScanDateTime" := c."LastScanDateTime";
    "@LastMessageTime" := c."LastMessageTime";
    -- Out of date since the first newer virus-data version appeared; NULL while up to date.
    IF c."VirusDataKey" IS NOT NULL THEN
        SELECT min(v."FirstSeen") INTO "@Outofdate" FROM dbo."VirusDataVersions" v
         WHERE v."VersionKey" > c."VirusDataKey";
    END IF;
    OPEN "@RowSet" FOR SELECT c."IDEList" AS "IdeList";
    "@RETURN_VALUE" := 0;
END $$;

-- 0: created (or a deleted computer of that name revived); 8: the name exists, its id returned.
CREATE FUNCTION dbo."AddComputer"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerName" dbo.nvarchar_31,
    "@DomainName" dbo.nvarchar_128,
    "@OperatingSystem" integer,
    "@Description" dbo.nvarchar_512,
    OUT "@ComputerID" integer)
LANGUAGE plpgsql AS $$
DECLARE
    v_deleted boolean;
BEGIN
    IF "@ComputerName" IS NULL OR "@ComputerName" = '' THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    PERFORM dbo.corvex_lock_computer_identity();
    SELECT c."ComputerID", c."Deleted" INTO "@ComputerID", v_deleted FROM dbo."Computers" c
     WHERE lower(c."ComputerName") = lower("@ComputerName") FOR UPDATE;
    IF FOUND AND NOT v_deleted THEN
        "@RETURN_VALUE" := 8;
        RETURN;
    END IF;
    IF FOUND THEN
        UPDATE dbo."Computers" c SET
               "Deleted" = false,
               "ComputerName" = "@ComputerName",
               "DomainName" = COALESCE("@DomainName", c."DomainName"),
               "OperatingSystem" = COALESCE("@OperatingSystem", c."OperatingSystem"),
               "Description" = COALESCE("@Description", c."Description")
         WHERE c."ComputerID" = "@ComputerID";
    ELSE
        INSERT INTO dbo."Computers" ("ComputerName", "DomainName", "OperatingSystem", "Description")
        VALUES ("@ComputerName", COALESCE("@DomainName", ''), COALESCE("@OperatingSystem", 0),
                COALESCE("@Description", ''))
        RETURNING "ComputerID" INTO "@ComputerID";
    END IF;
    "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."GetComputerID"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerName" dbo.nvarchar_31,
    OUT "@ComputerID" integer)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT c."ComputerID" INTO "@ComputerID" FROM dbo."Computers" c
     WHERE lower(c."ComputerName") = lower("@ComputerName") AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 22 END;
END $$;

-- True when a live computer other than the one at p_address carries the name and has an
-- address of its own: only that address may speak for it, so a message from p_address naming
-- it is refused (a computer made by browsing or installation has no address yet and may be
-- bound; a deleted one has been let go).
CREATE FUNCTION dbo.corvex_name_managed_elsewhere(p_address text, p_name text) RETURNS boolean
LANGUAGE sql STABLE AS $$
    SELECT EXISTS (SELECT 1 FROM dbo."Computers" c
                    WHERE lower(c."ComputerName") = lower(p_name) AND NOT c."Deleted"
                      AND c."MessageSystemAddress" IS NOT NULL
                      AND c."MessageSystemAddress" <> p_address)
$$;

-- The computer that sent a message from an address. 8: the address was registered already;
-- 0: it was not (a new computer, or the address bound to the computer of that name, which had
-- none). "@ComputerDeleted" = 1 when a deleted computer came back. 20: the name belongs to a
-- computer that another address manages; nothing is changed.
CREATE FUNCTION dbo."ComputerFromAddressNameDomain"(
    OUT "@RETURN_VALUE" integer,
    "@MessageSystemAddress" dbo.nvarchar_255,
    "@ComputerName" dbo.nvarchar_31,
    "@DomainName" dbo.nvarchar_128,
    OUT "@ComputerDeleted" integer,
    OUT "@ComputerID" integer)
LANGUAGE plpgsql AS $$
DECLARE
    v_deleted boolean;
    v_name text;
BEGIN
    IF "@MessageSystemAddress" IS NULL OR "@MessageSystemAddress" = ''
       OR "@ComputerName" IS NULL OR "@ComputerName" = '' THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    "@ComputerDeleted" := 0;
    SELECT c."ComputerID", c."Deleted", c."ComputerName" INTO "@ComputerID", v_deleted, v_name
      FROM dbo."Computers" c
     WHERE c."MessageSystemAddress" = "@MessageSystemAddress";
    IF FOUND AND NOT v_deleted THEN
        IF lower(v_name) <> lower("@ComputerName")
           AND dbo.corvex_name_managed_elsewhere("@MessageSystemAddress", "@ComputerName") THEN
            "@ComputerID" := NULL;
            "@RETURN_VALUE" := 20;
            RETURN;
        END IF;
        "@RETURN_VALUE" := 8;
        RETURN;
    END IF;

    PERFORM dbo.corvex_lock_computer_identity();
    IF dbo.corvex_name_managed_elsewhere("@MessageSystemAddress", "@ComputerName") THEN
        "@ComputerID" := NULL;
        "@RETURN_VALUE" := 20;
        RETURN;
    END IF;
    SELECT c."ComputerID", c."Deleted" INTO "@ComputerID", v_deleted FROM dbo."Computers" c
     WHERE c."MessageSystemAddress" = "@MessageSystemAddress" FOR UPDATE;
    IF FOUND THEN
        "@RETURN_VALUE" := 8;
    ELSE
        "@RETURN_VALUE" := 0;
        -- What carries the name now has no address or was deleted: the address may take it.
        SELECT c."ComputerID", c."Deleted" INTO "@ComputerID", v_deleted FROM dbo."Computers" c
         WHERE lower(c."ComputerName") = lower("@ComputerName") FOR UPDATE;
        IF FOUND THEN
            UPDATE dbo."Computers" c SET "MessageSystemAddress" = "@MessageSystemAddress"
             WHERE c."ComputerID" = "@ComputerID";
        ELSE
            v_deleted := false;
            INSERT INTO dbo."Computers" ("ComputerName", "DomainName", "MessageSystemAddress")
            VALUES ("@ComputerName", COALESCE("@DomainName", ''), "@MessageSystemAddress")
            RETURNING "ComputerID" INTO "@ComputerID";
        END IF;
    END IF;
    IF v_deleted THEN
        UPDATE dbo."Computers" c SET "Deleted" = false WHERE c."ComputerID" = "@ComputerID";
        "@ComputerDeleted" := 1;
    END IF;
END $$;

-- 0 and the id; 39: the address belongs to a deleted computer; 48: no computer has it.
CREATE FUNCTION dbo."GetCompFromMessageSystemAddressStr"(
    OUT "@RETURN_VALUE" integer,
    "@MessageSystemAddress" dbo.nvarchar_255,
    OUT "@ComputerID" integer)
LANGUAGE plpgsql STABLE AS $$
DECLARE
    v_deleted boolean;
BEGIN
    SELECT c."ComputerID", c."Deleted" INTO "@ComputerID", v_deleted FROM dbo."Computers" c
     WHERE c."MessageSystemAddress" = "@MessageSystemAddress";
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 48;
    ELSIF v_deleted THEN
        "@ComputerID" := NULL;
        "@RETURN_VALUE" := 39;
    ELSE
        "@RETURN_VALUE" := 0;
    END IF;
END $$;

-- 0 and the address; 39: no such computer; 47: the computer has no address (not managed).
CREATE FUNCTION dbo."GetMessageSystemAddressStr"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@MessageSystemAddress" dbo.nvarchar_255)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT c."MessageSystemAddress" INTO "@MessageSystemAddress" FROM dbo."Computers" c
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN NOT FOUND THEN 39
                            WHEN "@MessageSystemAddress" IS NULL THEN 47
                            ELSE 0 END;
END $$;

CREATE FUNCTION dbo."UpdateComputerDescriptionAndOS"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@OperatingSystem" integer,
    "@description" dbo.nvarchar_512)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET
           "OperatingSystem" = COALESCE("@OperatingSystem", c."OperatingSystem"),
           "Description" = COALESCE("@description", '')
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 39 END;
END $$;

CREATE FUNCTION dbo."ComputerSetLastScan"(
    OUT "@RETURN_VALUE" integer,
    "@LastScanDateTime" timestamp,
    "@ComputerID" bigint,
    "@LastScanName" dbo.nvarchar_64)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET
           "LastScanDateTime" = "@LastScanDateTime",
           "LastScanName" = COALESCE("@LastScanName", '')
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 22 END;
END $$;

CREATE FUNCTION dbo."ComputerLastMessageTimeSet"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" bigint,
    "@LastMessageTime" timestamp)
LANGUAGE plpgsql AS $$
BEGIN
    -- Several messages within the same second leave the row as the first one wrote it.
    UPDATE dbo."Computers" c SET "LastMessageTime" = COALESCE("@LastMessageTime", localtimestamp)
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted"
       AND c."LastMessageTime" IS DISTINCT FROM COALESCE("@LastMessageTime", localtimestamp);
    "@RETURN_VALUE" := CASE WHEN FOUND OR dbo.corvex_is_live("@ComputerID") THEN 0 ELSE 39 END;
END $$;

-- Deletes the computers of a list such as "3,7, 12": all of them or, when one is unknown
-- (39) or the list is malformed (1), none. A deleted computer leaves its group and loses its
-- alerts and library status; it keeps its row to come back with the same id.
CREATE FUNCTION dbo."DeleteComputers"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerIDList" text)
LANGUAGE plpgsql AS $$
DECLARE
    v_ids integer[];
    v_found integer;
BEGIN
    IF "@ComputerIDList" IS NULL
       OR "@ComputerIDList" !~ '^\s*\d{1,10}(\s*[,;]\s*\d{1,10})*\s*$' THEN
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
    PERFORM dbo.corvex_lock_alerts_shared();
    -- Lock in id order so that concurrent multi-row changes cannot deadlock.
    PERFORM 1 FROM dbo."Computers" c WHERE c."ComputerID" = ANY (v_ids) AND NOT c."Deleted"
      ORDER BY c."ComputerID" FOR UPDATE;
    SELECT count(*) INTO v_found FROM dbo."Computers" c
     WHERE c."ComputerID" = ANY (v_ids) AND NOT c."Deleted";
    IF v_found <> cardinality(v_ids) THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    DELETE FROM dbo."Alerts" a WHERE a."ComputerID" = ANY (v_ids);
    DELETE FROM dbo."LibraryServers" l WHERE l."ComputerID" = ANY (v_ids);
    UPDATE dbo."Computers" c SET
           "Deleted" = true, "GroupID" = NULL, "Connected" = NULL,
           "OutstandingErrorAlerts" = 0, "OutstandingVirusAlerts" = 0,
           "InstallPending" = false, "InstallInProgress" = false,
           "HasGroupAUConfig" = NULL, "HasGroupDexConfig" = NULL
     WHERE c."ComputerID" = ANY (v_ids);
    "@RETURN_VALUE" := 0;
END $$;

-- Computer ids selected by a filter and sorted by a key (see README for the codes);
-- 1 for an unknown filter or order.
CREATE FUNCTION dbo."GetComputerList"(
    OUT "@RETURN_VALUE" integer,
    "@Filter" integer,
    "@OrderBy" integer,
    "@Ascending" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_where text;
    v_order text;
    v_dir text := CASE WHEN COALESCE("@Ascending", 1) <> 0 THEN 'ASC' ELSE 'DESC' END;
    v_newest numeric[];
BEGIN
    IF "@Filter" = 6 THEN
        SELECT max(v."VersionKey") INTO v_newest FROM dbo."VirusDataVersions" v;
    END IF;
    v_where := CASE "@Filter"
        WHEN 0 THEN 'true'
        WHEN 1 THEN 'c."AlertState" <> 0'
        WHEN 2 THEN 'c."AlertState" IN (2, 3)'
        WHEN 3 THEN 'c."AlertState" IN (1, 3)'
        WHEN 4 THEN 'c."Connected" IS NOT TRUE AND c."MessageSystemAddress" IS NOT NULL'
        WHEN 5 THEN '(c."HasGroupAUConfig" = false OR c."HasGroupDexConfig" = false)'
        -- The newest version goes in as a constant so that the planner can use the key's statistics.
        WHEN 6 THEN format('c."VirusDataKey" < %L::numeric[]', v_newest)
        WHEN 7 THEN 'c."InstallResult" <> 0'
        WHEN 8 THEN '(c."InstallPending" OR c."InstallInProgress")'
        WHEN 9 THEN 'c."MessageSystemAddress" IS NULL'
        WHEN 10 THEN 'c."MessageSystemAddress" IS NOT NULL'
        WHEN 11 THEN 'c."DexInstalled" IS NOT TRUE AND c."MessageSystemAddress" IS NOT NULL'
        WHEN 12 THEN 'c."DexInstalled" AND c."DexRunning" = false'
        WHEN 13 THEN 'EXISTS (SELECT 1 FROM dbo."LibraryServers" l WHERE l."ComputerID" = c."ComputerID")'
    END;
    v_order := CASE "@OrderBy"
        WHEN 0 THEN 'c."ComputerID" %1$s'
        WHEN 1 THEN 'lower(c."ComputerName") %1$s'
        WHEN 2 THEN 'lower(c."DomainName") %1$s, lower(c."ComputerName") %1$s'
        WHEN 3 THEN 'c."OperatingSystem" %1$s, lower(c."ComputerName") %1$s'
        WHEN 4 THEN 'c."LastMessageTime" %1$s NULLS LAST, c."ComputerID" %1$s'
        WHEN 5 THEN 'c."IPAddress" %1$s NULLS LAST, c."ComputerID" %1$s'
        WHEN 6 THEN 'c."LastScanDateTime" %1$s NULLS LAST, c."ComputerID" %1$s'
    END;
    IF v_where IS NULL OR v_order IS NULL THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR EXECUTE
        'SELECT c."ComputerID" FROM dbo."Computers" c WHERE NOT c."Deleted" AND ' || v_where
        || ' ORDER BY ' || format(v_order, v_dir);
    "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."GetUnassignedComputers"(
    OUT "@RETURN_VALUE" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    OPEN "@RowSet" FOR
        SELECT c."ComputerID" FROM dbo."Computers" c
         WHERE c."GroupID" IS NULL AND NOT c."Deleted"
         ORDER BY lower(c."ComputerName");
    "@RETURN_VALUE" := 0;
END $$;
