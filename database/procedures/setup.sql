-- The console's setup wizard: one console at a time may run it, and its progress (a step
-- number the console defines) is kept so that another console can resume it. A lock not
-- refreshed for 30 minutes counts as abandoned.

-- Takes the wizard for "@Owner" (or refreshes the owner's hold). 0 and the progress;
-- 20: another console holds it ("@LockOwner" names it); 1: no owner given.
CREATE FUNCTION dbo."AcquireSetupWizardLock"(
    OUT "@RETURN_VALUE" integer,
    "@Owner" dbo.nvarchar_256,
    OUT "@Progress" integer,
    OUT "@LockOwner" dbo.nvarchar_256)
LANGUAGE plpgsql AS $$
DECLARE
    s dbo."Settings"%ROWTYPE;
BEGIN
    IF "@Owner" IS NULL OR "@Owner" = '' THEN
        "@RETURN_VALUE" := 1;
        RETURN;
    END IF;
    SELECT * INTO s FROM dbo."Settings" FOR UPDATE;
    "@Progress" := s."WizardProgress";
    IF s."WizardLockOwner" IS NOT NULL AND s."WizardLockOwner" <> "@Owner"
       AND s."WizardLockTime" > localtimestamp - interval '30 minutes' THEN
        "@LockOwner" := s."WizardLockOwner";
        "@RETURN_VALUE" := 20;
        RETURN;
    END IF;
    UPDATE dbo."Settings" SET "WizardLockOwner" = "@Owner", "WizardLockTime" = localtimestamp;
    "@LockOwner" := "@Owner";
    "@RETURN_VALUE" := 0;
END $$;

-- Stores the wizard's progress for the console holding it, and with "@ReleaseLock" <> 0 lets it
-- go. 21: "@Owner" does not hold the wizard.
CREATE FUNCTION dbo."UpdateSetupWizardProgress"(
    OUT "@RETURN_VALUE" integer,
    "@Owner" dbo.nvarchar_256,
    "@Progress" integer,
    "@ReleaseLock" integer)
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Settings" SET
           "WizardProgress" = COALESCE("@Progress", "WizardProgress"),
           "WizardLockOwner" = CASE WHEN COALESCE("@ReleaseLock", 0) <> 0 THEN NULL ELSE "@Owner" END,
           "WizardLockTime" = CASE WHEN COALESCE("@ReleaseLock", 0) <> 0 THEN NULL ELSE localtimestamp END
     WHERE "WizardLockOwner" = "@Owner";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 21 END;
END $$;
