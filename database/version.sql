-- The interface version this database offers to the service (GetInterfaceVersion). The service
-- accepts any database of the same major version.
INSERT INTO dbo."InterfaceVersion" ("MajorVersion", "MinorVersion") VALUES (8, 0)
ON CONFLICT ("Singleton") DO UPDATE
   SET "MajorVersion" = EXCLUDED."MajorVersion", "MinorVersion" = EXCLUDED."MinorVersion";
