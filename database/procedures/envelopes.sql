-- The envelope being applied on this connection, and the record of envelopes whose alert is
-- stored. The service names the envelope before it applies an event; the alert procedures then
-- store the alert and its record in one transaction, or nothing when the record exists.

-- Names the envelope ("@Originator" NULL: none) for the alert procedures of this connection.
CREATE FUNCTION dbo."EnvelopeBegin"(
    OUT "@RETURN_VALUE" integer,
    "@Originator" dbo.nvarchar_255,
    "@MessageID" integer)
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM set_config('corvex.envelope_originator', COALESCE("@Originator", ''), false);
    PERFORM set_config('corvex.envelope_id', COALESCE("@MessageID", 0)::text, false);
    "@RETURN_VALUE" := 0;
END $$;

-- True when the current envelope (if any) had no alert stored yet; records it. Records live for
-- seven days, far longer than the router keeps an unconfirmed envelope in practice.
CREATE OR REPLACE FUNCTION dbo.corvex_first_application()
RETURNS boolean LANGUAGE plpgsql AS $$
DECLARE
    v_originator text := COALESCE(current_setting('corvex.envelope_originator', true), '');
    v_id integer := COALESCE(NULLIF(current_setting('corvex.envelope_id', true), ''), '0')::integer;
    v_new integer;
BEGIN
    IF v_originator = '' THEN
        RETURN true;
    END IF;
    INSERT INTO dbo."AppliedEnvelopes" ("Originator", "MessageID") VALUES (v_originator, v_id)
        ON CONFLICT DO NOTHING;
    GET DIAGNOSTICS v_new = ROW_COUNT;
    IF v_new = 1 AND random() < 0.001 THEN
        DELETE FROM dbo."AppliedEnvelopes"
         WHERE "AppliedAt" < (now() AT TIME ZONE 'UTC') - interval '7 days';
    END IF;
    RETURN v_new = 1;
END $$;

-- Undoes the record of corvex_first_application when the alert was refused after all.
CREATE OR REPLACE FUNCTION dbo.corvex_forget_application()
RETURNS void LANGUAGE plpgsql AS $$
BEGIN
    DELETE FROM dbo."AppliedEnvelopes"
     WHERE "Originator" = COALESCE(current_setting('corvex.envelope_originator', true), '')
       AND "MessageID" = COALESCE(NULLIF(current_setting('corvex.envelope_id', true), ''), '0')::integer;
END $$;
