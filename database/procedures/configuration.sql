-- Configurations and anti-virus status: what each computer reports, what each group should
-- have, and whether the two match.

-- Each pair of procedures below differs only in the kind of configuration: 'AU' (update) or
-- 'Dex' (anti-virus), which names the columns. These helpers hold the common bodies.

-- One row with the computer's reported configuration (NULL when none). 39: no such computer.
-- Static statements per kind: each status reply reads both, so they are planned once.
CREATE OR REPLACE FUNCTION dbo.corvex_computer_config(p_computer integer, p_kind text,
                                                      OUT rc integer, OUT rowset refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_xml text;
BEGIN
    IF p_kind = 'AU' THEN
        SELECT c."AUConfigXML" INTO v_xml FROM dbo."Computers" c
         WHERE c."ComputerID" = p_computer AND NOT c."Deleted";
    ELSE
        SELECT c."DexConfigXML" INTO v_xml FROM dbo."Computers" c
         WHERE c."ComputerID" = p_computer AND NOT c."Deleted";
    END IF;
    IF NOT FOUND THEN
        rc := 39;
        RETURN;
    END IF;
    IF p_kind = 'AU' THEN
        OPEN rowset FOR SELECT v_xml AS "AUConfigXML";
    ELSE
        OPEN rowset FOR SELECT v_xml AS "DexConfigXML";
    END IF;
    rc := 0;
END $$;

-- One row with the group's configuration, NULL when it has none (the root and the unassigned
-- group never have one). 22: no such group.
CREATE OR REPLACE FUNCTION dbo.corvex_group_config(p_group bigint, p_kind text,
                                                   OUT rc integer, OUT rowset refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_group integer;
    v_xml text;
BEGIN
    SELECT * INTO v_group, rc FROM dbo.corvex_resolve_group(p_group, 0, 0, 22);
    IF rc <> 0 THEN
        RETURN;
    END IF;
    IF v_group IS NOT NULL THEN
        IF p_kind = 'AU' THEN
            SELECT g."AUConfigXML" INTO v_xml FROM dbo."Groups" g WHERE g."GroupID" = v_group;
        ELSE
            SELECT g."DexConfigXML" INTO v_xml FROM dbo."Groups" g WHERE g."GroupID" = v_group;
        END IF;
    END IF;
    IF p_kind = 'AU' THEN
        OPEN rowset FOR SELECT v_xml AS "AUConfigXML";
    ELSE
        OPEN rowset FOR SELECT v_xml AS "DexConfigXML";
    END IF;
END $$;

-- Stores a group's configuration (an empty text clears it) and makes its computers' match
-- flags unknown until they are checked again. 22: no such group (also when it was deleted while
-- this waited for it); 38: root or unassigned. Locks the group's row first, then its computers
-- in id order, as the deletion of a group does.
CREATE OR REPLACE FUNCTION dbo.corvex_set_group_config(p_group bigint, p_kind text, p_xml text)
RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
    v_status integer;
    v_rows integer;
BEGIN
    v_status := (dbo.corvex_resolve_group(p_group, 38, 38, 22)).o_status;
    IF v_status <> 0 THEN
        RETURN v_status;
    END IF;
    EXECUTE format('UPDATE dbo."Groups" g SET %I = NULLIF($2, '''') WHERE g."GroupID" = $1',
                   p_kind || 'ConfigXML')
      USING p_group, p_xml;
    GET DIAGNOSTICS v_rows = ROW_COUNT;
    IF v_rows = 0 THEN
        RETURN 22;
    END IF;
    PERFORM dbo.corvex_lock_group_computers(p_group::integer);
    EXECUTE format('UPDATE dbo."Computers" c SET %1$I = NULL WHERE c."GroupID" = $1 AND c.%1$I IS NOT NULL',
                   'HasGroup' || p_kind || 'Config')
      USING p_group;
    RETURN 0;
END $$;

CREATE FUNCTION dbo."ComputerGetAUConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT * INTO "@RETURN_VALUE", "@RowSet" FROM dbo.corvex_computer_config("@ComputerID", 'AU');
END $$;

CREATE FUNCTION dbo."ComputerGetDexConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT * INTO "@RETURN_VALUE", "@RowSet" FROM dbo.corvex_computer_config("@ComputerID", 'Dex');
END $$;

CREATE FUNCTION dbo."ComputerHasGroupAUConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@HasGroupConfig" integer)
LANGUAGE plpgsql AS $$
BEGIN
    -- 1 matches, 0 differs, NULL unknown.
    "@RETURN_VALUE" := dbo.corvex_set_computer_flag("@ComputerID", 'HasGroupAUConfig', "@HasGroupConfig" <> 0);
END $$;

CREATE FUNCTION dbo."ComputerHasGroupDexConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@HasGroupConfig" integer)
LANGUAGE plpgsql AS $$
BEGIN
    -- 1 matches, 0 differs, NULL unknown.
    "@RETURN_VALUE" := dbo.corvex_set_computer_flag("@ComputerID", 'HasGroupDexConfig', "@HasGroupConfig" <> 0);
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
    -- A computer reports the same configuration again and again: unchanged, the row is not
    -- written again.
    UPDATE dbo."Computers" c SET
           "AUConfigXML" = NULLIF("@AUConfigXML", ''),
           "PrimaryCID" = COALESCE("@PrimaryCID", ''),
           "SecondaryCID" = COALESCE("@SecondaryCID", '')
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted"
       AND (c."AUConfigXML", c."PrimaryCID", c."SecondaryCID")
           IS DISTINCT FROM (NULLIF("@AUConfigXML", ''), COALESCE("@PrimaryCID", ''), COALESCE("@SecondaryCID", ''));
    "@RETURN_VALUE" := CASE WHEN FOUND OR dbo.corvex_is_live("@ComputerID") THEN 0 ELSE 39 END;
END $$;

CREATE FUNCTION dbo."UpdateComputerDexConfig"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@DexConfigXML" text)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET "DexConfigXML" = NULLIF("@DexConfigXML", '')
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted"
       AND c."DexConfigXML" IS DISTINCT FROM NULLIF("@DexConfigXML", '');
    "@RETURN_VALUE" := CASE WHEN FOUND OR dbo.corvex_is_live("@ComputerID") THEN 0 ELSE 39 END;
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
    v_running boolean := CASE WHEN v_installed THEN true END;
    v_on_access boolean := CASE WHEN v_installed THEN "@OnAccessFlag" <> 0 END;
    v_version text := CASE WHEN v_installed THEN COALESCE("@Version", '') ELSE '' END;
    v_quarantine integer := CASE WHEN v_installed THEN "@QuarantineCount" ELSE 0 END;
    v_data_version text := CASE WHEN v_installed THEN COALESCE("@VirusDataVersion", '') ELSE '' END;
    v_engine_version text := CASE WHEN v_installed THEN COALESCE("@VirusEngineVersion", '') ELSE '' END;
    v_checksum text := CASE WHEN v_installed THEN COALESCE("@IDEChecksum", '') ELSE '' END;
    v_product text := CASE WHEN v_installed THEN COALESCE("@ProductID", '') ELSE '' END;
    v_ide_list text := CASE WHEN v_installed THEN NULLIF("@IDEList", '') END;
    v_ide_number integer := CASE WHEN v_installed
                                 THEN (SELECT count(*) FROM regexp_split_to_table(COALESCE("@IDEList", ''), ';') x
                                        WHERE x <> '')
                                 ELSE 0 END;
BEGIN
    -- The same status comes with every reply: unchanged, the row is not written again.
    UPDATE dbo."Computers" c SET
           "DexInstalled" = v_installed,
           "DexRunning" = v_running,
           "DexOnAccess" = v_on_access,
           "DexVersion" = v_version,
           "QuarantineCount" = v_quarantine,
           "VirusDataVersion" = v_data_version,
           "VirusEngineVersion" = v_engine_version,
           "IDEChecksum" = v_checksum,
           "ProductID" = v_product,
           "IDEList" = v_ide_list,
           "IDENumber" = v_ide_number
     WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted"
       AND (c."DexInstalled", c."DexRunning", c."DexOnAccess", c."DexVersion", c."QuarantineCount",
            c."VirusDataVersion", c."VirusEngineVersion", c."IDEChecksum", c."ProductID", c."IDEList", c."IDENumber")
           IS DISTINCT FROM (v_installed, v_running, v_on_access, v_version, v_quarantine,
                             v_data_version, v_engine_version,
                             v_checksum, v_product, v_ide_list, v_ide_number);
    IF NOT FOUND AND NOT dbo.corvex_is_live("@ComputerID") THEN
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

CREATE FUNCTION dbo."GetGroupAUConfigXML"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT * INTO "@RETURN_VALUE", "@RowSet" FROM dbo.corvex_group_config("@GroupID", 'AU');
END $$;

CREATE FUNCTION dbo."GetGroupDexConfigXML"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT * INTO "@RETURN_VALUE", "@RowSet" FROM dbo.corvex_group_config("@GroupID", 'Dex');
END $$;

CREATE FUNCTION dbo."SetGroupAUConfigXML"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@AUConfigXML" text)
LANGUAGE plpgsql AS $$
BEGIN
    "@RETURN_VALUE" := dbo.corvex_set_group_config("@GroupID", 'AU', "@AUConfigXML");
END $$;

CREATE FUNCTION dbo."SetGroupDexConfigXML"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@DexConfigXML" text)
LANGUAGE plpgsql AS $$
BEGIN
    "@RETURN_VALUE" := dbo.corvex_set_group_config("@GroupID", 'Dex', "@DexConfigXML");
END $$;
