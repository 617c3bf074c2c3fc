-- Configurations and anti-virus status: what each computer reports, what each group should
-- have, and whether the two match.

CREATE FUNCTION dbo."ComputerGetAUConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_xml text;
BEGIN
    SELECT c."AUConfigXML" INTO v_xml FROM dbo."Computers" c
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR SELECT v_xml AS "AUConfigXML";
    "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."ComputerGetDexConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_xml text;
BEGIN
    SELECT c."DexConfigXML" INTO v_xml FROM dbo."Computers" c
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR SELECT v_xml AS "DexConfigXML";
    "@RETURN_VALUE" := 0;
END $$;

-- "@HasGroupConfig": 1 matches the group's configuration, 0 differs, NULL unknown.
CREATE FUNCTION dbo."ComputerHasGroupAUConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@HasGroupConfig" integer)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET "HasGroupAUConfig" = ("@HasGroupConfig" <> 0)
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 39 END;
END $$;

CREATE FUNCTION dbo."ComputerHasGroupDexConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@HasGroupConfig" integer)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET "HasGroupDexConfig" = ("@HasGroupConfig" <> 0)
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 39 END;
END $$;

-- The update configuration a computer reported, with its primary and secondary update
-- locations. An empty text clears it.
CREATE FUNCTION dbo."UpdateComputerAUConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@AUConfigXML" text,
    "@PrimaryCID" dbo.nvarchar_256,
    "@SecondaryCID" dbo.nvarchar_256)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET
           "AUConfigXML" = NULLIF("@AUConfigXML", ''),
           "PrimaryCID" = COALESCE("@PrimaryCID", ''),
           "SecondaryCID" = COALESCE("@SecondaryCID", '')
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 39 END;
END $$;

CREATE FUNCTION dbo."UpdateComputerDexConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@DexConfigXML" text)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET "DexConfigXML" = NULLIF("@DexConfigXML", '')
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 39 END;
END $$;

-- The anti-virus product's status. "@DexInstalled" = 0 records that it is not installed and
-- clears every detail. "@IDEList" holds each IDE file name followed by ";".
CREATE FUNCTION dbo."SetDexStatus"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@DexInstalled" integer,
    "@OnAccessFlag" integer,
    "@Version" dbo.nvarchar_128,
    "@QuarantineCount" integer,
    "@VirusDataVersion" dbo.nvarchar_128,
    "@VirusEngineVersion" dbo.nvarchar_128,
    "@IDEChecksum" dbo.nvarchar_128,
    "@ProductID" dbo.nvarchar_128,
    "@IDEList" text)
LANGUAGE plpgsql AS $$
DECLARE
    v_installed boolean := COALESCE("@DexInstalled", 0) <> 0;
BEGIN
    UPDATE dbo."Computers" c SET
           "DexInstalled" = v_installed,
           "DexRunning" = CASE WHEN v_installed THEN true END,
           "DexOnAccess" = CASE WHEN v_installed THEN "@OnAccessFlag" <> 0 END,
           "DexVersion" = CASE WHEN v_installed THEN COALESCE("@Version", '') ELSE '' END,
           "QuarantineCount" = CASE WHEN v_installed THEN "@QuarantineCount" ELSE 0 END,
           "VirusDataVersion" = CASE WHEN v_installed THEN COALESCE("@VirusDataVersion", '') ELSE '' END,
           "VirusEngineVersion" = CASE WHEN v_installed THEN COALESCE("@VirusEngineVersion", '') ELSE '' END,
           "IDEChecksum" = CASE WHEN v_installed THEN COALESCE("@IDEChecksum", '') ELSE '' END,
           "ProductID" = CASE WHEN v_installed THEN COALESCE("@ProductID", '') ELSE '' END,
           "IDEList" = CASE WHEN v_installed THEN NULLIF("@IDEList", '') END,
           "IDENumber" = CASE WHEN v_installed
                              THEN (SELECT count(*) FROM regexp_split_to_table(COALESCE("@IDEList", ''), ';') x
                                     WHERE x <> '')
                              ELSE 0 END
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    IF v_installed AND COALESCE("@VirusDataVersion", '') <> '' THEN
        INSERT INTO dbo."VirusDataVersions" ("VersionKey", "Version")
        VALUES (dbo.version_key("@VirusDataVersion"), "@VirusDataVersion")
        ON CONFLICT ("VersionKey") DO NOTHING;
    END IF;
    "@RETURN_VALUE" := 0;
END $$;

-- Installed, not running: on-access protection is off; the last reported details stay.
CREATE FUNCTION dbo."ComputerSetDexStatusNotRunning"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET "DexInstalled" = true, "DexRunning" = false, "DexOnAccess" = false
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 39 END;
END $$;

-- Group configurations: one row, NULL when the group has none. The root and the unassigned
-- group have none and take none (38). 22: no such group.
CREATE FUNCTION dbo."GetGroupAUConfigXML"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_xml text;
BEGIN
    IF dbo.corvex_group_kind("@GroupID") = 'group' THEN
        SELECT g."AUConfigXML" INTO v_xml FROM dbo."Groups" g
         WHERE g."GroupID" = dbo.corvex_group_row("@GroupID");
        IF NOT FOUND THEN
            "@RETURN_VALUE" := 22;
            RETURN;
        END IF;
    END IF;
    OPEN "@RowSet" FOR SELECT v_xml AS "AUConfigXML";
    "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."GetGroupDexConfigXML"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_xml text;
BEGIN
    IF dbo.corvex_group_kind("@GroupID") = 'group' THEN
        SELECT g."DexConfigXML" INTO v_xml FROM dbo."Groups" g
         WHERE g."GroupID" = dbo.corvex_group_row("@GroupID");
        IF NOT FOUND THEN
            "@RETURN_VALUE" := 22;
            RETURN;
        END IF;
    END IF;
    OPEN "@RowSet" FOR SELECT v_xml AS "DexConfigXML";
    "@RETURN_VALUE" := 0;
END $$;

-- A new group configuration makes its computers' match flags unknown until checked again.
CREATE FUNCTION dbo."SetGroupAUConfigXML"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@AUConfigXML" text)
LANGUAGE plpgsql AS $$
BEGIN
    IF dbo.corvex_group_kind("@GroupID") <> 'group' THEN
        "@RETURN_VALUE" := 38;
        RETURN;
    END IF;
    UPDATE dbo."Groups" g SET "AUConfigXML" = NULLIF("@AUConfigXML", '')
     WHERE g."GroupID" = dbo.corvex_group_row("@GroupID");
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 22;
        RETURN;
    END IF;
    PERFORM dbo.corvex_lock_group_computers("@GroupID"::integer);
    UPDATE dbo."Computers" c SET "HasGroupAUConfig" = NULL
     WHERE c."GroupID" = "@GroupID" AND c."HasGroupAUConfig" IS NOT NULL;
    "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."SetGroupDexConfigXML"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@DexConfigXML" text)
LANGUAGE plpgsql AS $$
BEGIN
    IF dbo.corvex_group_kind("@GroupID") <> 'group' THEN
        "@RETURN_VALUE" := 38;
        RETURN;
    END IF;
    UPDATE dbo."Groups" g SET "DexConfigXML" = NULLIF("@DexConfigXML", '')
     WHERE g."GroupID" = dbo.corvex_group_row("@GroupID");
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 22;
        RETURN;
    END IF;
    PERFORM dbo.corvex_lock_group_computers("@GroupID"::integer);
    UPDATE dbo."Computers" c SET "HasGroupDexConfig" = NULL
     WHERE c."GroupID" = "@GroupID" AND c."HasGroupDexConfig" IS NOT NULL;
    "@RETURN_VALUE" := 0;
END $$;
