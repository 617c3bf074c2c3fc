-- Library servers: computers that hold update packages for the others, with the status document
-- they last reported and the packages listed in it.

-- 0 for a well-formed XML document, 3 for anything else (NULL included).
CREATE OR REPLACE FUNCTION dbo.corvex_check_document(p_text text) RETURNS integer
LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE WHEN p_text IS NOT NULL AND xml_is_well_formed_document(p_text) THEN 0 ELSE 3 END
$$;

-- Makes the computer a library server with this status document. 39: no such computer;
-- 3: the text is not a well-formed XML document.
CREATE FUNCTION dbo."SetTzLibraryStatus"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@TzLibraryStatusXML" text)
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM 1 FROM dbo."Computers" c WHERE c."ComputerID" = "@ComputerID" AND NOT c."Deleted"
        FOR SHARE;
    "@RETURN_VALUE" := CASE WHEN FOUND THEN dbo.corvex_check_document("@TzLibraryStatusXML") ELSE 39 END;
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    INSERT INTO dbo."LibraryServers" ("ComputerID", "StatusXML")
    VALUES ("@ComputerID", "@TzLibraryStatusXML")
    ON CONFLICT ("ComputerID") DO UPDATE
       SET "StatusXML" = EXCLUDED."StatusXML", "StatusTime" = localtimestamp;
    "@RETURN_VALUE" := 0;
END $$;

-- Replaces the library server's package table with the packageList/package elements of a
-- library status document (any namespace). 39: no such computer; 49: not a library server;
-- 3: not a well-formed document, or a package attribute of the wrong form.
CREATE FUNCTION dbo."PackageTableSet"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@XML" text)
LANGUAGE plpgsql AS $$
DECLARE
    v_doc xml;
BEGIN
    IF NOT dbo.corvex_is_live("@ComputerID") THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    PERFORM 1 FROM dbo."LibraryServers" l WHERE l."ComputerID" = "@ComputerID" FOR UPDATE;
    "@RETURN_VALUE" := CASE WHEN FOUND THEN dbo.corvex_check_document("@XML") ELSE 49 END;
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    v_doc := xmlparse(DOCUMENT "@XML");
    BEGIN
        DELETE FROM dbo."LibraryPackages" p WHERE p."ComputerID" = "@ComputerID";
        INSERT INTO dbo."LibraryPackages" ("ComputerID", "Position", "ProductID", "ProductVersion",
                                           "EngineVersion", "VirusDataVersion", "IDEChecksum",
                                           "RolloutNumber")
        SELECT "@ComputerID", t.pos, COALESCE(t.product, ''), COALESCE(t.version, ''),
               COALESCE(t.engine, ''), COALESCE(t.data, ''), COALESCE(t.checksum, ''),
               COALESCE(NULLIF(trim(t.rollout), ''), '0')::integer
          FROM XMLTABLE('/*/*[local-name()="packageList"]/*[local-name()="package"]'
                        PASSING v_doc
                        COLUMNS pos FOR ORDINALITY,
                                product text PATH '@productID',
                                version text PATH '@productVersion',
                                engine text PATH '@engineVersion',
                                data text PATH '@virusdataVersion',
                                checksum text PATH '@ideChecksum',
                                rollout text PATH '@rolloutNumber') AS t;
    EXCEPTION WHEN invalid_text_representation OR numeric_value_out_of_range
                   OR check_violation THEN
        "@RETURN_VALUE" := 3;
        RETURN;
    END;
    "@RETURN_VALUE" := 0;
END $$;

-- One row "StatusXML". 39: no such computer; 49: the computer is not a library server.
CREATE FUNCTION dbo."GetTzLibraryStatus"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_xml text;
BEGIN
    IF NOT dbo.corvex_is_live("@ComputerID") THEN
        "@RETURN_VALUE" := 39;
        RETURN;
    END IF;
    SELECT l."StatusXML" INTO v_xml FROM dbo."LibraryServers" l WHERE l."ComputerID" = "@ComputerID";
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 49;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR SELECT v_xml AS "StatusXML";
    "@RETURN_VALUE" := 0;
END $$;
