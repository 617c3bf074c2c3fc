-- Procedures of the service's session channel, called with positional parameters in the order
-- declared here: the agents' status and connection state, the install flags, the version.

-- Records what an agent reported and creates or updates the computer of its address.
-- 0: details stored. 50: group membership changed as well: the computer is new (it appears in
-- the unassigned group), a deleted computer came back, or a record of the same computer
-- made by browsing the network (same name, no address) was merged into it. 20: the name
-- belongs to a computer that another address manages; nothing is changed.
CREATE FUNCTION dbo."UpdateComputerStatus"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerName" dbo.nvarchar_31,
    "@DomainName" dbo.nvarchar_128,
    "@MessageSystemAddress" dbo.nvarchar_255,
    "@OperatingSystem" integer,
    "@Description" dbo.nvarchar_512,
    "@IPAddress" bigint,
    "@ServicePack" dbo.nvarchar_128,
    "@LastLoggedOnUser" dbo.nvarchar_256)
LANGUAGE plpgsql AS $$
DECLARE
    v_id integer;
    v_name text;
    v_deleted boolean;
    v_group integer;
    o_id integer;
    o_address text;
    o_deleted boolean;
    o_group integer;
BEGIN
    IF "@ComputerName" IS NULL OR "@ComputerName" = ''
       OR "@MessageSystemAddress" IS NULL OR "@MessageSystemAddress" = ''
       OR NOT COALESCE("@IPAddress" BETWEEN 0 AND 4294967295, true) THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    "@RETURN_VALUE" := 0;

    -- Usual case: a known computer reporting under its known name; only its row is locked.
    UPDATE dbo."Computers" c SET
           "ComputerName" = "@ComputerName",
           "DomainName" = COALESCE("@DomainName", ''),
           "OperatingSystem" = COALESCE("@OperatingSystem", 0),
           "Description" = COALESCE("@Description", ''),
           "IPAddress" = "@IPAddress",
           "ServicePack" = COALESCE("@ServicePack", ''),
           "LastLoggedOnUser" = COALESCE("@LastLoggedOnUser", '')
     WHERE c."MessageSystemAddress" = "@MessageSystemAddress" AND NOT c."Deleted"
       AND lower(c."ComputerName") = lower("@ComputerName")
       AND (c."ComputerName", c."DomainName", c."OperatingSystem", c."Description", c."IPAddress", c."ServicePack",
            c."LastLoggedOnUser")
           IS DISTINCT FROM ("@ComputerName", COALESCE("@DomainName", ''), COALESCE("@OperatingSystem", 0),
                             COALESCE("@Description", ''), "@IPAddress", COALESCE("@ServicePack", ''),
                             COALESCE("@LastLoggedOnUser", ''));
    -- Unchanged details are not written again.
    IF FOUND OR EXISTS (SELECT 1 FROM dbo."Computers" c
                         WHERE c."MessageSystemAddress" = "@MessageSystemAddress" AND NOT c."Deleted"
                           AND lower(c."ComputerName") = lower("@ComputerName")) THEN
        RETURN;
    END IF;

    PERFORM dbo.corvex_lock_computer_identity();
    -- A computer is spoken for only by its own address: neither taken over nor renamed into.
    IF dbo.corvex_name_managed_elsewhere("@MessageSystemAddress", "@ComputerName") THEN
        "@RETURN_VALUE" := 20;
        RETURN;
    END IF;
    SELECT c."ComputerID", c."ComputerName", c."Deleted", c."GroupID"
      INTO v_id, v_name, v_deleted, v_group
      FROM dbo."Computers" c WHERE c."MessageSystemAddress" = "@MessageSystemAddress" FOR UPDATE;

    -- Another row holding the reported name, if any.
    SELECT c."ComputerID", c."MessageSystemAddress", c."Deleted", c."GroupID"
      INTO o_id, o_address, o_deleted, o_group
      FROM dbo."Computers" c
     WHERE lower(c."ComputerName") = lower("@ComputerName")
       AND c."ComputerID" IS DISTINCT FROM v_id
       FOR UPDATE;

    IF v_id IS NULL THEN
        IF o_id IS NULL THEN
            INSERT INTO dbo."Computers" ("ComputerName", "MessageSystemAddress")
            VALUES ("@ComputerName", "@MessageSystemAddress")
            RETURNING "ComputerID" INTO v_id;
            "@RETURN_VALUE" := 50;
        ELSE
            -- The computer is known by name: browsed or installed (no address yet), or deleted.
            v_id := o_id;
            IF o_deleted THEN
                "@RETURN_VALUE" := 50;
            END IF;
            UPDATE dbo."Computers" c SET "MessageSystemAddress" = "@MessageSystemAddress",
                   "Deleted" = false
             WHERE c."ComputerID" = v_id;
        END IF;
    ELSE
        IF v_deleted THEN
            "@RETURN_VALUE" := 50;
            UPDATE dbo."Computers" c SET "Deleted" = false WHERE c."ComputerID" = v_id;
        END IF;
        IF o_id IS NULL THEN
            UPDATE dbo."Computers" c SET "ComputerName" = "@ComputerName" WHERE c."ComputerID" = v_id;
        ELSIF o_address IS NULL THEN
            -- The computer was renamed to the name of a browsed record of itself: merge.
            IF v_group IS NULL AND o_group IS NOT NULL AND NOT o_deleted THEN
                UPDATE dbo."Computers" c SET "GroupID" = o_group WHERE c."ComputerID" = v_id;
            END IF;
            IF NOT o_deleted THEN
                "@RETURN_VALUE" := 50;
            END IF;
            DELETE FROM dbo."Computers" c WHERE c."ComputerID" = o_id;
            UPDATE dbo."Computers" c SET "ComputerName" = "@ComputerName" WHERE c."ComputerID" = v_id;
        END IF;
        -- Otherwise a deleted computer of another address holds the name: this one keeps its
        -- stored name.
    END IF;

    UPDATE dbo."Computers" c SET
           "DomainName" = COALESCE("@DomainName", ''),
           "OperatingSystem" = COALESCE("@OperatingSystem", 0),
           "Description" = COALESCE("@Description", ''),
           "IPAddress" = "@IPAddress",
           "ServicePack" = COALESCE("@ServicePack", ''),
           "LastLoggedOnUser" = COALESCE("@LastLoggedOnUser", '')
     WHERE c."ComputerID" = v_id;
END $$;

-- 0; 39: the address belongs to a deleted computer; 48: no computer has it.
CREATE FUNCTION dbo."UpdateComputerConnectedState"(
    OUT "@RETURN_VALUE" integer,
    "@MessageSystemAddress" dbo.nvarchar_255,
    "@ConnectedFlag" smallint)
LANGUAGE plpgsql AS $$
BEGIN
    IF "@ConnectedFlag" IS NULL THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    -- Every status reply says "connected" again: unchanged, the row is not written again.
    UPDATE dbo."Computers" c SET "Connected" = ("@ConnectedFlag" <> 0)
     WHERE c."MessageSystemAddress" = "@MessageSystemAddress" AND NOT c."Deleted"
       AND c."Connected" IS DISTINCT FROM ("@ConnectedFlag" <> 0);
    IF FOUND OR EXISTS (SELECT 1 FROM dbo."Computers" c
                         WHERE c."MessageSystemAddress" = "@MessageSystemAddress" AND NOT c."Deleted") THEN
        "@RETURN_VALUE" := 0;
    ELSIF EXISTS (SELECT 1 FROM dbo."Computers" c
                   WHERE c."MessageSystemAddress" = "@MessageSystemAddress") THEN
        "@RETURN_VALUE" := 39;
    ELSE
        "@RETURN_VALUE" := 48;
    END IF;
END $$;

-- 0 and the address; 39: no such computer; 47: not managed (no address).
CREATE FUNCTION dbo."GetMessageSystemAddress"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@MessageSystemAddress" dbo.nvarchar_255)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT * INTO "@RETURN_VALUE", "@MessageSystemAddress"
      FROM dbo."GetMessageSystemAddressStr"("@ComputerID");
END $$;

CREATE FUNCTION dbo."SetComputerInstallPendingFlag"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@InstallPendingFlag" smallint)
LANGUAGE plpgsql AS $$
BEGIN
    "@RETURN_VALUE" := dbo.corvex_set_computer_flag("@ComputerID", 'InstallPending',
                                                    COALESCE("@InstallPendingFlag", 0) <> 0);
END $$;

CREATE FUNCTION dbo."SetComputerInstallInProgressFlag"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@InstallInProgressFlag" smallint)
LANGUAGE plpgsql AS $$
BEGIN
    "@RETURN_VALUE" := dbo.corvex_set_computer_flag("@ComputerID", 'InstallInProgress',
                                                    COALESCE("@InstallInProgressFlag", 0) <> 0);
END $$;

-- The outcome of the last install attempt: 0 success, otherwise the failure code.
CREATE FUNCTION dbo."ComputerSetInstallResult"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@InstallResult" integer,
    "@InstallTime" timestamp)
LANGUAGE plpgsql AS $$
BEGIN
    IF "@InstallResult" IS NULL THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    UPDATE dbo."Computers" c SET
           "InstallResult" = "@InstallResult",
           "InstallTime" = COALESCE("@InstallTime", localtimestamp(0))
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 39 END;
END $$;

-- Nothing stays pending or in progress from a previous run of the service.
CREATE FUNCTION dbo."ClearComputerInstallFlags"(
    OUT "@RETURN_VALUE" integer)
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM 1 FROM dbo."Computers" c WHERE c."InstallPending" OR c."InstallInProgress"
      ORDER BY c."ComputerID" FOR UPDATE;
    UPDATE dbo."Computers" c SET "InstallPending" = false, "InstallInProgress" = false
     WHERE c."InstallPending" OR c."InstallInProgress";
    "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."GetInterfaceVersion"(
    OUT "@RETURN_VALUE" integer,
    OUT "@MajorVersion" integer,
    OUT "@MinorVersion" integer)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT v."MajorVersion", v."MinorVersion" INTO "@MajorVersion", "@MinorVersion"
      FROM dbo."InterfaceVersion" v;
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 9 END;
END $$;
