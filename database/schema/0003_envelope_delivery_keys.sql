-- Applied envelopes are named by their delivery key: the text the messaging library gives each
-- letter (its stream and sequence), the same at every delivery of that letter and never given
-- to another. The router's originator and 32-bit message id named them before; the router
-- starts its ids again when its counter is reset, and a new event then matched an old record
-- and its alert was dropped.
--
-- The old records are dropped, not converted: a record names an envelope only to be matched
-- against the envelopes still to come, and from now on those are named by delivery keys, which
-- no old record can match (and an old name cannot be turned into a key). Stored alerts stay.
DROP TABLE dbo."AppliedEnvelopes";
CREATE TABLE dbo."AppliedEnvelopes" (
    "DeliveryKey" dbo.nvarchar_255 PRIMARY KEY CHECK ("DeliveryKey" <> ''),
    "AppliedAt"   timestamp NOT NULL DEFAULT (now() AT TIME ZONE 'UTC')
);
CREATE INDEX "AppliedEnvelopes_AppliedAt" ON dbo."AppliedEnvelopes" ("AppliedAt");
