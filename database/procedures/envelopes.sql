-- The envelope being applied on this connection, and the record of envelopes whose alert is
-- stored. The service names the envelope by its delivery key before it applies an event; the
-- alert procedures then store the alert and its record in one transaction, or nothing when the
-- record exists.

-- Names the envelope ("@DeliveryKey" NULL or empty: none, no duplicate check) for the alert
-- procedures of this connection.
CREATE FUNCTION dbo."EnvelopeBegin"(
    OUT "@RETURN_VALUE" integer,
    "@DeliveryKey" dbo.nvarchar_255)
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM set_config('corvex.envelope_key', COALESCE("@DeliveryKey", ''), false);
    "@RETURN_VALUE" := 0;
END $$;

-- True when the current envelope (if any) had no alert stored yet; records it. Records live for
-- seven days, far longer than an unconfirmed envelope waits to be delivered again in practice.
CREATE OR REPLACE FUNCTION dbo.corvex_first_application()
RETURNS boolean LANGUAGE plpgsql AS $$
DECLARE
    v_key text := COALESCE(current_setting('corvex.envelope_key', true), '');
    v_new integer;
BEGIN
    IF v_key = '' THEN
        RETURN true;
    END IF;
    INSERT INTO dbo."AppliedEnvelopes" ("DeliveryKey") VALUES (v_key) ON CONFLICT DO NOTHING;
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
     WHERE "DeliveryKey" = COALESCE(current_setting('corvex.envelope_key', true), '');
END $$;
