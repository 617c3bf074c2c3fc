-- The audit trail of the consoles' changes: one entry per change asked, written after its
-- outcome is known, and the trail read back newest first.

-- Adds an entry and returns its number. Texts longer than their column are cut rather than
-- refused, so that an unusual request never goes unrecorded. 1 when the account, the source,
-- the action or the console is missing or the outcome is not "done", "refused" or "failed".
CREATE FUNCTION dbo."AuditAdd"(
    OUT "@RETURN_VALUE" integer,
    "@Account" text,
    "@Source" text,
    "@Console" text,
    "@Action" text,
    "@Target" text,
    "@Detail" text,
    "@Outcome" text,
    "@OutcomeText" text,
    OUT "@AuditID" bigint)
LANGUAGE plpgsql AS $$
BEGIN
    IF COALESCE("@Account", '') = '' OR COALESCE("@Source", '') = '' OR COALESCE("@Action", '') = ''
       OR COALESCE("@Console", '') NOT IN ('web', 'corvexctl')
       OR COALESCE("@Outcome", '') NOT IN ('done', 'refused', 'failed') THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    INSERT INTO dbo."AuditTrail" ("Account", "Source", "Console", "Action", "Target", "Detail", "Outcome", "OutcomeText")
    VALUES (left("@Account", 256), left("@Source", 255), "@Console", left("@Action", 64),
            left(COALESCE("@Target", ''), 255), left(COALESCE("@Detail", ''), 1024), "@Outcome",
            left(COALESCE("@OutcomeText", ''), 1024))
    RETURNING "AuditID" INTO "@AuditID";
    "@RETURN_VALUE" := 0;
END $$;

-- A page of the trail, newest first. Filters (NULL or empty: not applied): "@Account" one
-- account, "@Action" actions that begin with this text, "@Since" and "@Until" the entry time
-- (UTC, "YYYY-MM-DD[ HH:MM[:SS]]"; since inclusive, until exclusive), "@BeforeID" entries older
-- than this one (an export reads the trail in pieces this way: "@Total" is then not counted and
-- stays NULL). Entry times come as text, ISO 8601 in UTC.
-- 1 for an offset below 0, a count outside 1-1000 or a time that does not read.
CREATE FUNCTION dbo."AuditPageGet"(
    OUT "@RETURN_VALUE" integer,
    "@Account" text,
    "@Action" text,
    "@Since" text,
    "@Until" text,
    "@BeforeID" bigint,
    "@Offset" integer,
    "@Count" integer,
    OUT "@Total" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
DECLARE
    v_since timestamp;
    v_until timestamp;
    v_action text := NULLIF("@Action", '');
    v_account text := NULLIF("@Account", '');
BEGIN
    IF COALESCE("@Offset", -1) < 0 OR COALESCE("@Count", 0) NOT BETWEEN 1 AND 1000 THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    BEGIN
        v_since := NULLIF("@Since", '')::timestamp;
        v_until := NULLIF("@Until", '')::timestamp;
    EXCEPTION WHEN others THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END;
    IF v_action IS NOT NULL THEN
        -- A prefix, taken literally.
        v_action := replace(replace(replace(v_action, '\', '\\'), '%', '\%'), '_', '\_') || '%';
    END IF;
    IF "@BeforeID" IS NULL THEN
        SELECT count(*) INTO "@Total" FROM dbo."AuditTrail" t
         WHERE (v_account IS NULL OR t."Account" = v_account)
           AND (v_action IS NULL OR t."Action" LIKE v_action)
           AND (v_since IS NULL OR t."EntryTime" >= v_since)
           AND (v_until IS NULL OR t."EntryTime" < v_until);
    END IF;
    OPEN "@RowSet" FOR
        SELECT t."AuditID", to_char(t."EntryTime", 'YYYY-MM-DD"T"HH24:MI:SS"Z"') AS "EntryTime",
               t."Account", t."Source", t."Console", t."Action", t."Target", t."Detail",
               t."Outcome", t."OutcomeText", t."DatabaseUser"
          FROM dbo."AuditTrail" t
         WHERE (v_account IS NULL OR t."Account" = v_account)
           AND (v_action IS NULL OR t."Action" LIKE v_action)
           AND (v_since IS NULL OR t."EntryTime" >= v_since)
           AND (v_until IS NULL OR t."EntryTime" < v_until)
           AND ("@BeforeID" IS NULL OR t."AuditID" < "@BeforeID")
         ORDER BY t."AuditID" DESC
         LIMIT "@Count" OFFSET "@Offset";
    "@RETURN_VALUE" := 0;
END $$;
