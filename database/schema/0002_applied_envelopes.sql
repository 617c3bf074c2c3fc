-- Envelopes whose alert is stored, by the router's originator and message id, so that an
-- envelope the router delivers a second time (after a crash of the service) stores nothing
-- twice. Rows older than the window are pruned as new ones arrive.
CREATE TABLE dbo."AppliedEnvelopes" (
    "Originator" varchar NOT NULL,
    "MessageID"  integer NOT NULL,
    "AppliedAt"  timestamp NOT NULL DEFAULT (now() AT TIME ZONE 'UTC'),
    PRIMARY KEY ("Originator", "MessageID")
);
CREATE INDEX "AppliedEnvelopes_AppliedAt" ON dbo."AppliedEnvelopes" ("AppliedAt");
