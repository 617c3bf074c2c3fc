-- The group tree and computer membership. A computer is in at most one group; a computer in no
-- group belongs to the unassigned group (0xFFFFFFFE); the root (0xFFFFFFFF or NULL) is the
-- parent of the top-level groups. Changing a computer's group makes its configuration-match
-- flags unknown until they are checked against the new group.

-- Puts a computer into a group (NULL: no group) and makes its match flags unknown; false when
-- the group has been deleted meanwhile.
CREATE OR REPLACE FUNCTION dbo.corvex_place_computer(p_computer integer, p_group integer)
RETURNS boolean LANGUAGE plpgsql AS $$
BEGIN
    UPDATE dbo."Computers" c SET "GroupID" = p_group,
           "HasGroupAUConfig" = NULL, "HasGroupDexConfig" = NULL
     WHERE c."ComputerID" = p_computer;
    RETURN true;
EXCEPTION WHEN foreign_key_violation THEN
    RETURN false;
END $$;

-- Whether a group under p_parent (NULL: the top level) other than p_except has the name, in
-- any case. Written as the sibling-name index is, so that the index answers.
CREATE OR REPLACE FUNCTION dbo.corvex_sibling_has_name(p_parent integer, p_name text, p_except bigint)
RETURNS boolean LANGUAGE sql STABLE AS $$
    SELECT EXISTS (SELECT 1 FROM dbo."Groups" g
                    WHERE COALESCE(g."ParentID", 0) = COALESCE(p_parent, 0)
                      AND lower(g."Name") = lower(p_name)
                      AND g."GroupID" IS DISTINCT FROM p_except)
$$;

-- Moves a computer (its row locked) from its current group to p_target (NULL: no group). 0;
-- 31: it is there already; p_missing: the target group has been deleted meanwhile.
CREATE OR REPLACE FUNCTION dbo.corvex_move_computer(p_computer integer, p_current integer,
                                                   p_target integer, p_missing integer)
RETURNS integer LANGUAGE plpgsql AS $$
BEGIN
    IF p_current IS NOT DISTINCT FROM p_target THEN
        RETURN 31;
    END IF;
    RETURN CASE WHEN dbo.corvex_place_computer(p_computer, p_target) THEN 0 ELSE p_missing END;
END $$;

-- Locks a live computer's row and gives its group (NULL: none) and 0, or 39 when there is no
-- such computer.
CREATE OR REPLACE FUNCTION dbo.corvex_lock_computer_group(p_computer integer,
                                                          OUT o_group integer, OUT o_status integer)
LANGUAGE plpgsql AS $$
BEGIN
    SELECT c."GroupID" INTO o_group FROM dbo."Computers" c
     WHERE c."ComputerID" = p_computer AND NOT c."Deleted" FOR UPDATE;
    o_status := CASE WHEN FOUND THEN 0 ELSE 39 END;
END $$;

CREATE FUNCTION dbo."GetGroupDetails"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" integer,
    OUT "@Name" dbo.nvarchar_32)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    SELECT g."Name" INTO "@Name" FROM dbo."Groups" g WHERE g."GroupID" = "@GroupID";
    "@RETURN_VALUE" := CASE WHEN FOUND THEN 0 ELSE 22 END;
END $$;

-- 0 and the new id; 22: no such parent; 34: a sibling has the name; 38: the unassigned group
-- takes no subgroups; 45/46: empty name / forbidden character.
CREATE FUNCTION dbo."AddGroup"(
    OUT "@RETURN_VALUE" integer,
    "@NewParentID" bigint,
    "@Name" dbo.nvarchar_32,
    OUT "@GroupID" integer)
LANGUAGE plpgsql AS $$
DECLARE
    v_parent integer;
BEGIN
    "@RETURN_VALUE" := dbo.corvex_check_group_name("@Name");
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    SELECT * INTO v_parent, "@RETURN_VALUE" FROM dbo.corvex_resolve_group("@NewParentID", 0, 38, 22);
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    PERFORM dbo.corvex_lock_group_tree();
    IF v_parent IS NOT NULL AND dbo.corvex_group_row(v_parent) IS NULL THEN
        "@RETURN_VALUE" := 22;
        RETURN;
    END IF;
    IF dbo.corvex_sibling_has_name(v_parent, "@Name", NULL) THEN
        "@RETURN_VALUE" := 34;
        RETURN;
    END IF;
    INSERT INTO dbo."Groups" ("ParentID", "Name") VALUES (v_parent, "@Name")
    RETURNING "GroupID" INTO "@GroupID";
END $$;

-- 0; 22: no such group; 34: a sibling has the name; 38: a special group; 45/46: bad name.
CREATE FUNCTION dbo."RenameGroup"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@Name" dbo.nvarchar_32)
LANGUAGE plpgsql AS $$
DECLARE
    v_parent integer;
BEGIN
    "@RETURN_VALUE" := dbo.corvex_check_group_name("@Name");
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    IF dbo.corvex_group_kind("@GroupID") <> 'group' THEN
        "@RETURN_VALUE" := 38;
        RETURN;
    END IF;
    PERFORM dbo.corvex_lock_group_tree();
    SELECT g."ParentID" INTO v_parent FROM dbo."Groups" g
     WHERE g."GroupID" = dbo.corvex_group_row("@GroupID") FOR UPDATE;
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 22;
        RETURN;
    END IF;
    IF dbo.corvex_sibling_has_name(v_parent, "@Name", "@GroupID") THEN
        "@RETURN_VALUE" := 34;
        RETURN;
    END IF;
    UPDATE dbo."Groups" g SET "Name" = "@Name" WHERE g."GroupID" = "@GroupID";
END $$;

-- 0; 41: no such group; 42: no such new parent; 37: the new parent is the group or one of its
-- descendants; 34: a group of that name is already there; 38: a special group is involved.
CREATE FUNCTION dbo."MoveGroup"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@NewParentID" bigint)
LANGUAGE plpgsql AS $$
DECLARE
    v_name text;
    v_parent integer;
BEGIN
    IF dbo.corvex_group_kind("@GroupID") <> 'group'
       OR dbo.corvex_group_kind("@NewParentID") = 'unassigned' THEN
        "@RETURN_VALUE" := 38;
        RETURN;
    END IF;
    PERFORM dbo.corvex_lock_group_tree();
    SELECT g."Name" INTO v_name FROM dbo."Groups" g
     WHERE g."GroupID" = dbo.corvex_group_row("@GroupID") FOR UPDATE;
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 41;
        RETURN;
    END IF;
    SELECT * INTO v_parent, "@RETURN_VALUE" FROM dbo.corvex_resolve_group("@NewParentID", 0, 38, 42);
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    IF v_parent IN (SELECT s."GroupID" FROM dbo.corvex_subtree("@GroupID"::integer) s) THEN
        "@RETURN_VALUE" := 37;
        RETURN;
    END IF;
    IF dbo.corvex_sibling_has_name(v_parent, v_name, "@GroupID") THEN
        "@RETURN_VALUE" := 34;
        RETURN;
    END IF;
    UPDATE dbo."Groups" g SET "ParentID" = v_parent WHERE g."GroupID" = "@GroupID";
    "@RETURN_VALUE" := 0;
END $$;

-- 0; 40: no such group; 43: the group has subgroups; 38: a special group. Its computers become
-- unassigned.
CREATE FUNCTION dbo."DeleteGroup"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint)
LANGUAGE plpgsql AS $$
BEGIN
    IF dbo.corvex_group_kind("@GroupID") <> 'group' THEN
        "@RETURN_VALUE" := 38;
        RETURN;
    END IF;
    PERFORM dbo.corvex_lock_group_tree();
    -- The group's row before its computers, as everything that changes both does, so that a
    -- configuration stored meanwhile waits for the deletion or the deletion for it.
    PERFORM 1 FROM dbo."Groups" g WHERE g."GroupID" = dbo.corvex_group_row("@GroupID") FOR UPDATE;
    IF NOT FOUND THEN
        "@RETURN_VALUE" := 40;
        RETURN;
    END IF;
    IF EXISTS (SELECT 1 FROM dbo."Groups" g WHERE g."ParentID" = "@GroupID") THEN
        "@RETURN_VALUE" := 43;
        RETURN;
    END IF;
    PERFORM dbo.corvex_lock_group_computers("@GroupID"::integer);
    UPDATE dbo."Computers" c SET "HasGroupAUConfig" = NULL, "HasGroupDexConfig" = NULL
     WHERE c."GroupID" = "@GroupID";
    DELETE FROM dbo."Groups" g WHERE g."GroupID" = "@GroupID";
    "@RETURN_VALUE" := 0;
END $$;

-- Puts a computer into a group, taking it out of any other. 0; 31: it is there already;
-- 39: no such computer; 40: no such group; 38: the root holds no computers.
CREATE FUNCTION dbo."AddComputerToGroup"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@NewGroupID" bigint)
LANGUAGE plpgsql AS $$
DECLARE
    v_current integer;
    v_target integer;
BEGIN
    SELECT * INTO v_target, "@RETURN_VALUE" FROM dbo.corvex_resolve_group("@NewGroupID", 38, 0, 40);
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    SELECT * INTO v_current, "@RETURN_VALUE" FROM dbo.corvex_lock_computer_group("@ComputerID");
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    "@RETURN_VALUE" := dbo.corvex_move_computer("@ComputerID", v_current, v_target, 40);
END $$;

-- Moves a computer from one group to another. 0; 30: it is not in the source group; 31: source
-- and destination are the same; 39: no such computer; 41/42: no such source/destination;
-- 38: the root holds no computers.
CREATE FUNCTION dbo."MoveComputerGroup"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@SrcGroupID" bigint,
    "@DestGroupID" bigint)
LANGUAGE plpgsql AS $$
DECLARE
    v_current integer;
    v_source integer;
    v_target integer;
BEGIN
    IF dbo.corvex_group_kind("@SrcGroupID") = 'root' OR dbo.corvex_group_kind("@DestGroupID") = 'root' THEN
        "@RETURN_VALUE" := 38;
        RETURN;
    END IF;
    SELECT * INTO v_source, "@RETURN_VALUE" FROM dbo.corvex_resolve_group("@SrcGroupID", 38, 0, 41);
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    SELECT * INTO v_target, "@RETURN_VALUE" FROM dbo.corvex_resolve_group("@DestGroupID", 38, 0, 42);
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    SELECT * INTO v_current, "@RETURN_VALUE" FROM dbo.corvex_lock_computer_group("@ComputerID");
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    IF v_current IS DISTINCT FROM v_source THEN
        "@RETURN_VALUE" := 30;
        RETURN;
    END IF;
    "@RETURN_VALUE" := dbo.corvex_move_computer("@ComputerID", v_current, v_target, 42);
END $$;

-- Makes a computer unassigned. 0; 30: it is not in that group; 39: no such computer;
-- 40: no such group; 38: a special group.
CREATE FUNCTION dbo."RemoveComputerFromGroup"(
    OUT "@RETURN_VALUE" integer,
    "@ComputerID" integer,
    "@GroupID" bigint)
LANGUAGE plpgsql AS $$
DECLARE
    v_current integer;
BEGIN
    "@RETURN_VALUE" := (dbo.corvex_resolve_group("@GroupID", 38, 38, 40)).o_status;
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    SELECT * INTO v_current, "@RETURN_VALUE" FROM dbo.corvex_lock_computer_group("@ComputerID");
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    IF v_current IS DISTINCT FROM "@GroupID" THEN
        "@RETURN_VALUE" := 30;
        RETURN;
    END IF;
    PERFORM dbo.corvex_place_computer("@ComputerID", NULL);
    "@RETURN_VALUE" := 0;
END $$;

-- The computers directly in a group, by name. The unassigned group lists the computers of no
-- group; the root holds none. 22: no such group.
CREATE FUNCTION dbo."GetGroupMembers"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    CASE dbo.corvex_group_kind("@GroupID")
        WHEN 'root' THEN
            OPEN "@RowSet" FOR SELECT NULL::integer AS "ComputerID" WHERE false;
        WHEN 'unassigned' THEN
            SELECT u."@RowSet" INTO "@RowSet" FROM dbo."GetUnassignedComputers"() u;
        ELSE
            IF dbo.corvex_group_row("@GroupID") IS NULL THEN
                "@RETURN_VALUE" := 22;
                RETURN;
            END IF;
            OPEN "@RowSet" FOR
                SELECT c."ComputerID" FROM dbo."Computers" c
                 WHERE c."GroupID" = "@GroupID" AND NOT c."Deleted"
                 ORDER BY lower(c."ComputerName");
    END CASE;
    "@RETURN_VALUE" := 0;
END $$;

-- The subgroups of a group (the top-level groups for the root), by name, or with
-- "@AllDescendants" <> 0 every group below it in tree order. 22: no such group.
CREATE FUNCTION dbo."GetSubGroups"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@AllDescendants" integer,
    "@Ascending" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_group integer;
    v_all boolean := COALESCE("@AllDescendants", 0) <> 0;
    v_asc boolean := COALESCE("@Ascending", 1) <> 0;
BEGIN
    IF dbo.corvex_group_kind("@GroupID") = 'unassigned' THEN
        OPEN "@RowSet" FOR SELECT NULL::integer AS "GroupID" WHERE false;
        "@RETURN_VALUE" := 0;
        RETURN;
    END IF;
    SELECT * INTO v_group, "@RETURN_VALUE" FROM dbo.corvex_resolve_group("@GroupID", 0, 0, 22);
    IF "@RETURN_VALUE" <> 0 THEN
        RETURN;
    END IF;
    IF v_all THEN
        OPEN "@RowSet" FOR
            SELECT t."GroupID" FROM dbo.corvex_tree_order(v_group) t
             ORDER BY CASE WHEN v_asc THEN t."Path" END ASC,
                      CASE WHEN NOT v_asc THEN t."Path" END DESC;
    ELSE
        OPEN "@RowSet" FOR
            SELECT g."GroupID" FROM dbo."Groups" g
             WHERE g."ParentID" IS NOT DISTINCT FROM v_group
             ORDER BY CASE WHEN v_asc THEN lower(g."Name") END ASC,
                      CASE WHEN NOT v_asc THEN lower(g."Name") END DESC, g."GroupID";
    END IF;
    "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."GetRootGroups"(
    OUT "@RETURN_VALUE" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    OPEN "@RowSet" FOR
        SELECT g."GroupID" FROM dbo."Groups" g WHERE g."ParentID" IS NULL
         ORDER BY lower(g."Name"), g."GroupID";
    "@RETURN_VALUE" := 0;
END $$;

-- Every group, ordered by "@OrderBy": 0 id, 1 name, 2 tree order, 3 most computers first.
-- 1: unknown order.
CREATE FUNCTION dbo."GroupOrderedGroupListGet"(
    OUT "@RETURN_VALUE" integer,
    "@OrderBy" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    CASE "@OrderBy"
        WHEN 0 THEN
            OPEN "@RowSet" FOR SELECT g."GroupID" FROM dbo."Groups" g ORDER BY g."GroupID";
        WHEN 1 THEN
            OPEN "@RowSet" FOR SELECT g."GroupID" FROM dbo."Groups" g
                                ORDER BY lower(g."Name"), g."GroupID";
        WHEN 2 THEN
            OPEN "@RowSet" FOR SELECT t."GroupID" FROM dbo.corvex_tree_order(NULL) t
                                ORDER BY t."Path";
        WHEN 3 THEN
            OPEN "@RowSet" FOR
                SELECT g."GroupID" FROM dbo."Groups" g
                  LEFT JOIN (SELECT c."GroupID", count(*) AS n FROM dbo."Computers" c
                              WHERE c."GroupID" IS NOT NULL AND NOT c."Deleted"
                              GROUP BY c."GroupID") m ON m."GroupID" = g."GroupID"
                 ORDER BY COALESCE(m.n, 0) DESC, lower(g."Name"), g."GroupID";
        ELSE
            "@RETURN_VALUE" := 1;
            RETURN;
    END CASE;
    "@RETURN_VALUE" := 0;
END $$;

-- Every group below a group (below the root: every group), in tree order. 22: no such group.
CREATE FUNCTION dbo."GroupAllChildGroupListGet"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE AS $$
BEGIN
    -- GetSubGroups with every descendant, in ascending tree order.
    SELECT * INTO "@RETURN_VALUE", "@RowSet" FROM dbo."GetSubGroups"("@GroupID", 1, 1);
END $$;

-- The computers of a group and of every group below it, by name; for the root every computer,
-- for the unassigned group the computers of no group. 22: no such group.
CREATE FUNCTION dbo."GroupAllChildComputerListGet"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
DECLARE
    v_group integer;
BEGIN
    CASE dbo.corvex_group_kind("@GroupID")
        WHEN 'root' THEN
            OPEN "@RowSet" FOR
                SELECT c."ComputerID" FROM dbo."Computers" c WHERE NOT c."Deleted"
                 ORDER BY lower(c."ComputerName");
        WHEN 'unassigned' THEN
            SELECT u."@RowSet" INTO "@RowSet" FROM dbo."GetUnassignedComputers"() u;
        ELSE
            v_group := dbo.corvex_group_row("@GroupID");
            IF v_group IS NULL THEN
                "@RETURN_VALUE" := 22;
                RETURN;
            END IF;
            -- The subtree goes in as a known array so that the plan fits its size.
            OPEN "@RowSet" FOR EXECUTE
                'SELECT c."ComputerID" FROM dbo."Computers" c
                  WHERE c."GroupID" = ANY ($1) AND NOT c."Deleted"
                  ORDER BY lower(c."ComputerName")'
                USING ARRAY(SELECT s."GroupID" FROM dbo.corvex_subtree(v_group) s);
    END CASE;
    "@RETURN_VALUE" := 0;
END $$;

-- Every (parent, group) pair; top-level groups have a NULL parent.
CREATE FUNCTION dbo."GroupHierarchyGet"(
    OUT "@RETURN_VALUE" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    OPEN "@RowSet" FOR
        SELECT g."ParentID" AS "ParentID", g."GroupID" AS "ID" FROM dbo."Groups" g
         ORDER BY g."ParentID" NULLS FIRST, lower(g."Name"), g."GroupID";
    "@RETURN_VALUE" := 0;
END $$;

-- The identity of a special group: 1 the root (0xFFFFFFFF), 2 the unassigned group
-- (0xFFFFFFFE). 1: unknown kind.
CREATE FUNCTION dbo."GetSpecialGroup"(
    OUT "@RETURN_VALUE" integer,
    "@GroupType" integer,
    OUT "@GroupID" bigint)
LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
    "@GroupID" := CASE "@GroupType" WHEN 1 THEN 4294967295 WHEN 2 THEN 4294967294 END;
    "@RETURN_VALUE" := CASE WHEN "@GroupID" IS NULL THEN 1 ELSE 0 END;
END $$;
