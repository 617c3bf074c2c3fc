-- Lists for consoles that read a whole list at once: one call, every row with the details a
-- list shows, instead of one details call per computer.

-- "@GroupID": NULL every computer, 4294967294 those of no group, else that group's own members;
-- "@ConnectedOnly" non-zero: connected computers only; "@Limit" > 0: at most that many rows.
-- 22 when the group does not exist.
CREATE FUNCTION dbo."ComputerListGet"(
    OUT "@RETURN_VALUE" integer,
    "@GroupID" bigint,
    "@ConnectedOnly" integer,
    "@Limit" integer,
    OUT "@RowSet" refcursor)
LANGUAGE plpgsql STABLE SET cursor_tuple_fraction = 1 AS $$
BEGIN
    IF "@GroupID" IS NOT NULL AND "@GroupID" <> 4294967294
       AND NOT EXISTS (SELECT 1 FROM dbo."Groups" g WHERE g."GroupID" = "@GroupID") THEN
        "@RETURN_VALUE" := 22;
        RETURN;
    END IF;
    OPEN "@RowSet" FOR
        SELECT c."ComputerID" AS "ID", c."ComputerName" AS "Name", c."DomainName" AS "Domain",
               c."OperatingSystem", c."MessageSystemAddress" IS NOT NULL AS "Managed", c."Connected",
               c."AlertState"::integer AS "AlertState", c."LastMessageTime", c."GroupID",
               c."InstallPending", c."InstallInProgress", c."InstallResult",
               c."InstallTime" IS NOT NULL AS "InstallAttempted"
          FROM dbo."Computers" c
         WHERE NOT c."Deleted"
           AND ("@GroupID" IS NULL
                OR ("@GroupID" = 4294967294 AND c."GroupID" IS NULL)
                OR c."GroupID" = "@GroupID")
           AND (COALESCE("@ConnectedOnly", 0) = 0 OR c."Connected")
         ORDER BY lower(c."ComputerName")
         LIMIT CASE WHEN COALESCE("@Limit", 0) > 0 THEN "@Limit" END;
    "@RETURN_VALUE" := 0;
END $$;
