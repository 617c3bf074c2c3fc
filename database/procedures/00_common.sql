-- Helpers shared by the procedures, and the parameter catalogue a data-access layer reads to
-- learn a procedure's parameters (name, direction, type, declared size) in one query.
--
-- Advisory transaction locks (class 1129271896):
--   1  changes of computer identity (creation, revival, address attachment, rename, merge);
--   2  changes of the group tree (create, rename, move, delete);
--   3  the alert purge (exclusive) against other changes of stored alerts (shared).
-- Each is taken before any row lock of the same transaction, so they never close a cycle.
--
-- Row-set procedures run with cursor_tuple_fraction = 1: their caller fetches every row, so
-- the cursor's plan must be the cheapest for all rows, not the one quickest to the first.

CREATE OR REPLACE FUNCTION dbo.corvex_lock_computer_identity() RETURNS void
LANGUAGE sql AS $$ SELECT pg_advisory_xact_lock(1129271896, 1) $$;

CREATE OR REPLACE FUNCTION dbo.corvex_lock_group_tree() RETURNS void
LANGUAGE sql AS $$ SELECT pg_advisory_xact_lock(1129271896, 2) $$;

-- The service names two groups that are not rows: the root of the tree (0xFFFFFFFF, also
-- passed as NULL) and the unassigned group (0xFFFFFFFE) holding the computers of no group.
CREATE OR REPLACE FUNCTION dbo.corvex_group_kind(p_group bigint) RETURNS text
LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE WHEN p_group IS NULL OR p_group = 4294967295 THEN 'root'
                WHEN p_group = 4294967294 THEN 'unassigned'
                ELSE 'group' END
$$;

-- The group row of an ordinary group id, or NULL when there is none.
-- (This and the next are PL/pgSQL, which keeps its plans for the session: a query in an SQL
-- function that cannot be inlined is planned again on every call, and every status reply
-- resolves its computer's group twice.)
CREATE OR REPLACE FUNCTION dbo.corvex_group_row(p_group bigint) RETURNS integer
LANGUAGE plpgsql STABLE AS $$
BEGIN
    IF p_group BETWEEN 1 AND 2147483647 THEN
        RETURN (SELECT g."GroupID" FROM dbo."Groups" g WHERE g."GroupID" = p_group);
    END IF;
    RETURN NULL;
END $$;

-- Resolves a group id the service passes. An ordinary group gives its row id and 0, or NULL and
-- p_missing when it has no row; the root and the unassigned group (no rows) give NULL and the
-- caller's code for each, 0 where the caller accepts them.
CREATE OR REPLACE FUNCTION dbo.corvex_resolve_group(p_group bigint, p_root integer,
                                                    p_unassigned integer, p_missing integer,
                                                    OUT o_group integer, OUT o_status integer)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    o_group := dbo.corvex_group_row(p_group);
    o_status := CASE dbo.corvex_group_kind(p_group)
                    WHEN 'root' THEN p_root
                    WHEN 'unassigned' THEN p_unassigned
                    ELSE CASE WHEN o_group IS NULL THEN p_missing ELSE 0 END END;
END $$;

-- Ids of a group and all its descendants.
CREATE OR REPLACE FUNCTION dbo.corvex_subtree(p_group integer) RETURNS TABLE ("GroupID" integer)
LANGUAGE sql STABLE AS $$
    WITH RECURSIVE t AS (
        SELECT p_group AS id
        UNION ALL
        SELECT g."GroupID" FROM dbo."Groups" g JOIN t ON g."ParentID" = t.id
    )
    SELECT id FROM t
$$;

-- Groups in tree order (parents before their children, siblings by name); the top of the walk
-- is p_group's children, or the top-level groups when p_group is NULL.
CREATE OR REPLACE FUNCTION dbo.corvex_tree_order(p_group integer)
RETURNS TABLE ("GroupID" integer, "Depth" integer, "Path" integer[])
LANGUAGE sql STABLE AS $$
    WITH RECURSIVE ranked AS (
        SELECT g."GroupID", g."ParentID",
               row_number() OVER (PARTITION BY g."ParentID"
                                  ORDER BY lower(g."Name"), g."GroupID")::integer AS rank
          FROM dbo."Groups" g
    ), t AS (
        SELECT r."GroupID", 1 AS depth, ARRAY[r.rank] AS path
          FROM ranked r WHERE r."ParentID" IS NOT DISTINCT FROM p_group
        UNION ALL
        SELECT r."GroupID", t.depth + 1, t.path || r.rank
          FROM ranked r JOIN t ON r."ParentID" = t."GroupID"
    )
    SELECT * FROM t
$$;

-- A group name must not be empty and must not hold \ / * % ? : " < > |.
-- Returns 0, 45 (empty) or 46 (forbidden character); longer names fail the domain check.
CREATE OR REPLACE FUNCTION dbo.corvex_check_group_name(p_name text) RETURNS integer
LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE WHEN p_name IS NULL OR p_name = '' THEN 45
                WHEN p_name ~ '[\\/*%?:"<>|]' THEN 46
                ELSE 0 END
$$;

-- Parameters of every procedure in dbo, in call order. "DeclaredSize" is the character limit of
-- a sized text (the nvarchar_N domains), NULL for other types.
CREATE OR REPLACE VIEW dbo."ProcedureParameters" AS
SELECT p.proname::text                           AS "Procedure",
       a.ordinal::integer                        AS "Ordinal",
       a.name                                    AS "Parameter",
       CASE a.mode WHEN 'i' THEN 'IN' WHEN 'o' THEN 'OUT' WHEN 'b' THEN 'INOUT' END AS "Direction",
       format_type(a.type, NULL)                 AS "DataType",
       (regexp_match(t.typname, '^nvarchar_(\d+)$'))[1]::integer AS "DeclaredSize"
  FROM pg_proc p
  JOIN pg_namespace n ON n.oid = p.pronamespace AND n.nspname = 'dbo'
  CROSS JOIN LATERAL unnest(p.proallargtypes, p.proargmodes::text[], p.proargnames)
       WITH ORDINALITY AS a(type, mode, name, ordinal)
  JOIN pg_type t ON t.oid = a.type
 WHERE p.proargnames[1] = '@RETURN_VALUE';

-- Statements that change many computer rows lock them in id order first, so that two of them
-- can never wait for each other.
CREATE OR REPLACE FUNCTION dbo.corvex_lock_group_computers(p_group integer) RETURNS void
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM 1 FROM dbo."Computers" c WHERE c."GroupID" = p_group
      ORDER BY c."ComputerID" FOR UPDATE;
END $$;

-- Deleting alerts in bulk (the purge) excludes other changes of existing alerts; those take
-- the lock shared.
CREATE OR REPLACE FUNCTION dbo.corvex_lock_alerts_shared() RETURNS void
LANGUAGE sql AS $$ SELECT pg_advisory_xact_lock_shared(1129271896, 3) $$;

-- Whether a computer exists and is not deleted.
CREATE OR REPLACE FUNCTION dbo.corvex_is_live(p_computer bigint) RETURNS boolean
LANGUAGE sql STABLE AS $$
    SELECT EXISTS (SELECT 1 FROM dbo."Computers" c
                    WHERE c."ComputerID" = p_computer AND NOT c."Deleted")
$$;

-- Sets one boolean column of a live computer. 0, or 39 when there is no such computer.
-- Status replies set the same flags to the same values over and over: a flag that already has
-- the value is not written again (no new row version), and the usual columns are static
-- statements, planned once per session.
CREATE OR REPLACE FUNCTION dbo.corvex_set_computer_flag(p_computer integer, p_column text,
                                                        p_value boolean)
RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
    v_rows integer;
BEGIN
    CASE p_column
    WHEN 'HasGroupAUConfig' THEN
        UPDATE dbo."Computers" c SET "HasGroupAUConfig" = p_value
         WHERE c."ComputerID" = p_computer AND NOT c."Deleted"
           AND c."HasGroupAUConfig" IS DISTINCT FROM p_value;
    WHEN 'HasGroupDexConfig' THEN
        UPDATE dbo."Computers" c SET "HasGroupDexConfig" = p_value
         WHERE c."ComputerID" = p_computer AND NOT c."Deleted"
           AND c."HasGroupDexConfig" IS DISTINCT FROM p_value;
    ELSE
        EXECUTE format('UPDATE dbo."Computers" c SET %1$I = $2'
                       ' WHERE c."ComputerID" = $1 AND NOT c."Deleted" AND c.%1$I IS DISTINCT FROM $2', p_column)
          USING p_computer, p_value;
    END CASE;
    GET DIAGNOSTICS v_rows = ROW_COUNT;
    IF v_rows = 1 OR dbo.corvex_is_live(p_computer) THEN
        RETURN 0;
    END IF;
    RETURN 39;
END $$;
