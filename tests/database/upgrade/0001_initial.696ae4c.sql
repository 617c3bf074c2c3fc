-- Initial schema: computers, groups, memberships, alerts, configurations, library servers and
-- the settings the console edits. Procedures live in ../procedures and are re-created on every
-- upgrade; this file runs once per database.

CREATE SCHEMA IF NOT EXISTS dbo;

-- Text parameters and columns with a declared size. The size is the number in the domain name
-- and the domain's CHECK; a longer value is rejected, never cut (varchar(n) would silently drop
-- trailing blanks beyond n, so the limit is a CHECK on an unbounded varchar).
CREATE DOMAIN dbo.nvarchar_31  AS varchar CHECK (char_length(VALUE) <= 31);
CREATE DOMAIN dbo.nvarchar_32  AS varchar CHECK (char_length(VALUE) <= 32);
CREATE DOMAIN dbo.nvarchar_64  AS varchar CHECK (char_length(VALUE) <= 64);
CREATE DOMAIN dbo.nvarchar_128 AS varchar CHECK (char_length(VALUE) <= 128);
CREATE DOMAIN dbo.nvarchar_255 AS varchar CHECK (char_length(VALUE) <= 255);
CREATE DOMAIN dbo.nvarchar_256 AS varchar CHECK (char_length(VALUE) <= 256);
CREATE DOMAIN dbo.nvarchar_512 AS varchar CHECK (char_length(VALUE) <= 512);

-- Orders dotted version texts numerically ("4.10" after "4.9"); used by the out-of-date rules.
CREATE FUNCTION dbo.version_key(v text) RETURNS numeric[]
LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE AS $$
    SELECT COALESCE(array_agg(m[1]::numeric ORDER BY n), '{}')
      FROM regexp_matches(v, '(\d+)', 'g') WITH ORDINALITY AS t(m, n)
$$;

CREATE TABLE dbo."InterfaceVersion" (
    "Singleton"    boolean PRIMARY KEY DEFAULT true CHECK ("Singleton"),
    "MajorVersion" integer NOT NULL,
    "MinorVersion" integer NOT NULL
);

CREATE TABLE dbo."Groups" (
    "GroupID"     integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    "ParentID"    integer NULL REFERENCES dbo."Groups" ("GroupID"),
    "Name"        dbo.nvarchar_32 NOT NULL CHECK ("Name" <> ''),
    "AUConfigXML" text NULL,
    "DexConfigXML" text NULL,
    "Created"     timestamp NOT NULL DEFAULT localtimestamp
);
-- Group names are unique among siblings, ignoring case; top-level groups are siblings.
CREATE UNIQUE INDEX "Groups_SiblingName" ON dbo."Groups" (COALESCE("ParentID", 0), lower("Name"));
CREATE INDEX "Groups_Parent" ON dbo."Groups" ("ParentID");

CREATE TABLE dbo."Computers" (
    "ComputerID"           integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    "ComputerName"         dbo.nvarchar_31 NOT NULL CHECK ("ComputerName" <> ''),
    "DomainName"           dbo.nvarchar_128 NOT NULL DEFAULT '',
    "MessageSystemAddress" dbo.nvarchar_255 NULL CHECK ("MessageSystemAddress" <> ''),
    -- A deleted computer keeps its row (name, address, details) so that it can come back with
    -- the same identity when it reports again; it is invisible to every list and lookup.
    "Deleted"              boolean NOT NULL DEFAULT false,
    "GroupID"              integer NULL REFERENCES dbo."Groups" ("GroupID") ON DELETE SET NULL,
    "OperatingSystem"      integer NOT NULL DEFAULT 0,
    "Description"          dbo.nvarchar_512 NOT NULL DEFAULT '',
    "IPAddress"            bigint NULL CHECK ("IPAddress" BETWEEN 0 AND 4294967295),
    "ServicePack"          dbo.nvarchar_128 NOT NULL DEFAULT '',
    "LastLoggedOnUser"     dbo.nvarchar_256 NOT NULL DEFAULT '',
    "Connected"            boolean NULL,
    "InstallPending"       boolean NOT NULL DEFAULT false,
    "InstallInProgress"    boolean NOT NULL DEFAULT false,
    "InstallResult"        integer NOT NULL DEFAULT 0,
    "InstallTime"          timestamp NULL,
    "DexInstalled"         boolean NULL,
    "DexRunning"           boolean NULL,
    "DexOnAccess"          boolean NULL,
    "DexVersion"           dbo.nvarchar_128 NOT NULL DEFAULT '',
    "VirusDataVersion"     dbo.nvarchar_128 NOT NULL DEFAULT '',
    "VirusDataKey"         numeric[] GENERATED ALWAYS AS
                           (CASE WHEN "VirusDataVersion" <> '' THEN dbo.version_key("VirusDataVersion") END) STORED,
    "VirusEngineVersion"   dbo.nvarchar_128 NOT NULL DEFAULT '',
    "IDEChecksum"          dbo.nvarchar_128 NOT NULL DEFAULT '',
    "ProductID"            dbo.nvarchar_128 NOT NULL DEFAULT '',
    "QuarantineCount"      integer NULL,
    "IDEList"              text NULL,
    "IDENumber"            integer NOT NULL DEFAULT 0,
    "AUConfigXML"          text NULL,
    "PrimaryCID"           dbo.nvarchar_256 NOT NULL DEFAULT '',
    "SecondaryCID"         dbo.nvarchar_256 NOT NULL DEFAULT '',
    "DexConfigXML"         text NULL,
    "HasGroupAUConfig"     boolean NULL,
    "HasGroupDexConfig"    boolean NULL,
    "LastScanDateTime"     timestamp NULL,
    "LastScanName"         dbo.nvarchar_64 NOT NULL DEFAULT '',
    "LastMessageTime"      timestamp NULL,
    "Created"              timestamp NOT NULL DEFAULT localtimestamp
);
-- Names identify computers (case-insensitively, deleted ones included so that a deleted
-- computer comes back under its old identity); so do messaging-system addresses.
CREATE UNIQUE INDEX "Computers_Name" ON dbo."Computers" (lower("ComputerName"));
CREATE UNIQUE INDEX "Computers_Address" ON dbo."Computers" ("MessageSystemAddress");
CREATE INDEX "Computers_Group" ON dbo."Computers" ("GroupID", lower("ComputerName"))
    WHERE NOT "Deleted";
-- One small partial index per computer-list filter, so that each filter reads only its rows.
CREATE INDEX "Computers_NotConnected" ON dbo."Computers" ("ComputerID")
    WHERE "Connected" IS NOT TRUE AND "MessageSystemAddress" IS NOT NULL AND NOT "Deleted";
CREATE INDEX "Computers_ConfigDiffers" ON dbo."Computers" ("ComputerID")
    WHERE ("HasGroupAUConfig" = false OR "HasGroupDexConfig" = false) AND NOT "Deleted";
CREATE INDEX "Computers_InstallFailed" ON dbo."Computers" ("ComputerID")
    WHERE "InstallResult" <> 0 AND NOT "Deleted";
CREATE INDEX "Computers_InstallActive" ON dbo."Computers" ("ComputerID")
    WHERE ("InstallPending" OR "InstallInProgress") AND NOT "Deleted";
CREATE INDEX "Computers_NotManaged" ON dbo."Computers" ("ComputerID")
    WHERE "MessageSystemAddress" IS NULL AND NOT "Deleted";
CREATE INDEX "Computers_DexMissing" ON dbo."Computers" ("ComputerID")
    WHERE "DexInstalled" IS NOT TRUE AND "MessageSystemAddress" IS NOT NULL AND NOT "Deleted";
CREATE INDEX "Computers_DexStopped" ON dbo."Computers" ("ComputerID")
    WHERE "DexInstalled" AND "DexRunning" = false AND NOT "Deleted";
CREATE INDEX "Computers_VirusData" ON dbo."Computers" ("VirusDataKey")
    WHERE "VirusDataKey" IS NOT NULL AND NOT "Deleted";

-- Every virus-data version ever reported, with the time it was first seen: a computer is out
-- of date from the moment a newer version than its own appeared.
CREATE TABLE dbo."VirusDataVersions" (
    "VersionKey" numeric[] PRIMARY KEY,
    "Version"    dbo.nvarchar_128 NOT NULL,
    "FirstSeen"  timestamp NOT NULL DEFAULT localtimestamp
);

CREATE TABLE dbo."Alerts" (
    "AlertID"       integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    "ComputerID"    integer NOT NULL REFERENCES dbo."Computers" ("ComputerID") ON DELETE CASCADE,
    "AlertType"     smallint NOT NULL CHECK ("AlertType" IN (1, 2)),  -- 1 error, 2 virus
    "AlertTime"     timestamp NOT NULL,
    "UserName"      dbo.nvarchar_256 NOT NULL DEFAULT '',
    "Outstanding"   boolean NOT NULL DEFAULT true,
    "DealtWithTime" timestamp NULL,
    -- error alerts
    "Source"        dbo.nvarchar_32 NULL,
    "EntityInfo"    dbo.nvarchar_256 NULL,
    "Number"        integer NULL,
    "MessageCode"   dbo.nvarchar_256 NULL,
    "Insert1"       dbo.nvarchar_256 NULL,
    "Insert2"       dbo.nvarchar_256 NULL,
    "Insert3"       dbo.nvarchar_256 NULL,
    "Insert4"       dbo.nvarchar_256 NULL,
    "Insert5"       dbo.nvarchar_256 NULL,
    -- virus alerts
    "VirusName"     dbo.nvarchar_32 NULL,
    "VirusType"     integer NULL,
    "InfectedItem"  dbo.nvarchar_256 NULL,
    "ScannerType"   integer NULL,
    "ActionTaken"   integer NULL,
    CHECK ("AlertType" <> 1 OR ("Source" IS NOT NULL AND "EntityInfo" IS NOT NULL
           AND "Number" IS NOT NULL AND "MessageCode" IS NOT NULL AND "Insert1" IS NOT NULL
           AND "Insert2" IS NOT NULL AND "Insert3" IS NOT NULL AND "Insert4" IS NOT NULL
           AND "Insert5" IS NOT NULL)),
    CHECK ("AlertType" <> 2 OR ("VirusName" IS NOT NULL AND "VirusType" IS NOT NULL
           AND "InfectedItem" IS NOT NULL AND "ScannerType" IS NOT NULL
           AND "ActionTaken" IS NOT NULL))
);
CREATE INDEX "Alerts_Computer" ON dbo."Alerts" ("ComputerID", "AlertID");
CREATE INDEX "Alerts_Time" ON dbo."Alerts" ("AlertTime", "AlertID");
CREATE INDEX "Alerts_Outstanding" ON dbo."Alerts" ("ComputerID", "AlertType") WHERE "Outstanding";

CREATE TABLE dbo."LibraryServers" (
    "ComputerID" integer PRIMARY KEY REFERENCES dbo."Computers" ("ComputerID") ON DELETE CASCADE,
    "StatusXML"  text NOT NULL,
    "StatusTime" timestamp NOT NULL DEFAULT localtimestamp
);

CREATE TABLE dbo."LibraryPackages" (
    "ComputerID"       integer NOT NULL
                       REFERENCES dbo."LibraryServers" ("ComputerID") ON DELETE CASCADE,
    "Position"         integer NOT NULL,
    "ProductID"        dbo.nvarchar_32 NOT NULL,
    "ProductVersion"   dbo.nvarchar_128 NOT NULL,
    "EngineVersion"    dbo.nvarchar_128 NOT NULL,
    "VirusDataVersion" dbo.nvarchar_128 NOT NULL,
    "IDEChecksum"      dbo.nvarchar_128 NOT NULL,
    "RolloutNumber"    integer NOT NULL,
    PRIMARY KEY ("ComputerID", "Position")
);

-- Console-wide settings: report format, alert purge policy, the setup wizard's lock.
CREATE TABLE dbo."Settings" (
    "Singleton"       boolean PRIMARY KEY DEFAULT true CHECK ("Singleton"),
    "CompanyName"     dbo.nvarchar_256 NOT NULL DEFAULT '',
    "PurgeMethod"     integer NOT NULL DEFAULT 0 CHECK ("PurgeMethod" BETWEEN 0 AND 3),
    "PurgeMonths"     integer NOT NULL DEFAULT 6 CHECK ("PurgeMonths" BETWEEN 1 AND 1200),
    "PurgeMaximum"    integer NOT NULL DEFAULT 100000 CHECK ("PurgeMaximum" >= 0),
    "LastPurgeTime"   timestamp NULL,
    "LastPurgeCount"  integer NULL,
    "WizardProgress"  integer NOT NULL DEFAULT 0,
    "WizardLockOwner" dbo.nvarchar_256 NULL,
    "WizardLockTime"  timestamp NULL
);
INSERT INTO dbo."Settings" DEFAULT VALUES;
