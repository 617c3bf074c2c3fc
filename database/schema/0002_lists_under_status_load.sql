-- Status replies rewrite a computer's row many times an hour. With room left on every page the
-- new row version goes on the same page and, as long as no indexed column changed, no index
-- gets a new entry (a heap-only update): the table and its indexes stay their size, and lists
-- stay as fast as on the first day. The room is taken as pages are written again.
ALTER TABLE dbo."Computers" SET (fillfactor = 70);

-- The managed computers by name (the console's everyday list) straight from one index: no sort
-- of the whole table, which at 100,000 computers would spill to disk.
CREATE INDEX "Computers_ManagedByName" ON dbo."Computers" (lower("ComputerName"))
    INCLUDE ("ComputerID") WHERE "MessageSystemAddress" IS NOT NULL AND NOT "Deleted";
