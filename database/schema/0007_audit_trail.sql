-- The audit trail: every change asked through the web console or corvexctl, with who asked,
-- from where, what and how it ended. A table of its own that no purge reads, and append-only:
-- an entry once written is never changed or removed by the consoles, so that the trail can be
-- trusted to tell what happened.
CREATE TABLE dbo."AuditTrail" (
    "AuditID"      bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    "EntryTime"    timestamp NOT NULL DEFAULT (now() AT TIME ZONE 'UTC'),
    "Account"      varchar(256) NOT NULL,
    "Source"       varchar(255) NOT NULL,
    "Console"      varchar(16)  NOT NULL CHECK ("Console" IN ('web', 'corvexctl')),
    "Action"       varchar(64)  NOT NULL,
    "Target"       varchar(255) NOT NULL DEFAULT '',
    "Detail"       varchar(1024) NOT NULL DEFAULT '',
    "Outcome"      varchar(16)  NOT NULL CHECK ("Outcome" IN ('done', 'refused', 'failed')),
    "OutcomeText"  varchar(1024) NOT NULL DEFAULT '',
    -- The database role that wrote the entry: what the database itself proved, beside what the
    -- console said.
    "DatabaseUser" varchar(128) NOT NULL DEFAULT session_user
);

CREATE INDEX "IX_AuditTrail_EntryTime" ON dbo."AuditTrail" ("EntryTime", "AuditID");
CREATE INDEX "IX_AuditTrail_Account" ON dbo."AuditTrail" ("Account", "AuditID");

CREATE FUNCTION dbo.audit_trail_append_only() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
    RAISE EXCEPTION 'the audit trail is append-only' USING ERRCODE = 'insufficient_privilege';
END $$;

CREATE TRIGGER "AuditTrailAppendOnly" BEFORE UPDATE OR DELETE ON dbo."AuditTrail"
    FOR EACH ROW EXECUTE FUNCTION dbo.audit_trail_append_only();
CREATE TRIGGER "AuditTrailNoTruncate" BEFORE TRUNCATE ON dbo."AuditTrail"
    FOR EACH STATEMENT EXECUTE FUNCTION dbo.audit_trail_append_only();
