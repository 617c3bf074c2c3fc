-- A clock of the groups' central configurations: it moves whenever a statement may have changed
-- a group's update or anti-virus configuration (or the set of groups), whoever ran it. The
-- processing thread keeps the groups' configurations parsed while it stands still.
CREATE TABLE dbo."ConfigurationClock" (
    "Singleton" boolean PRIMARY KEY DEFAULT true CHECK ("Singleton"),
    "Clock"     bigint NOT NULL DEFAULT 0
);
INSERT INTO dbo."ConfigurationClock" DEFAULT VALUES;

CREATE FUNCTION dbo.corvex_tick_configuration_clock() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."ConfigurationClock" SET "Clock" = "Clock" + 1;
    RETURN NULL;
END $$;

-- Per statement, not per row: a statement that touches a thousand groups moves it once.
CREATE TRIGGER "Groups_ConfigurationClock"
    AFTER INSERT OR DELETE OR UPDATE OF "AUConfigXML", "DexConfigXML" ON dbo."Groups"
    FOR EACH STATEMENT EXECUTE FUNCTION dbo.corvex_tick_configuration_clock();
