-- The processing thread's set-wise road: the status replies of one pass in one call, and the
-- configuration checks of the pass in another, instead of a dozen calls per reply.
--
-- The steady case, a known computer reporting under its own name, is by far the most common:
-- a run of such replies (each address once in the run) is stored with one statement that
-- writes what the procedures below would write, one after the other, for each of them. Any
-- other reply is applied with the same procedures, in the same order and with the same
-- parameters as the one-reply road, so both store the same. Such a reply runs in a block of
-- its own; the first one that gets anything but the usual answers from a procedure (or any
-- error) is undone and handed back: "@Applied" says how many were stored before it, and the
-- caller applies that one through the one-reply road, which does with the odd answer what it
-- always did, then sends the rest again.

-- "@Replies": a JSON array, one object per reply in queue order:
--   a address, n name, d domain, o operating-system code, c comment, ip, sp service pack,
--   u last user, t arrival (local time); au, p, s the update configuration and its locations
--   (absent: none reported); dc the anti-virus configuration as stored (absent: none);
--   dv availability 0/1/2 with, for 1, the status: on, v, q, vd, ve, ic, pi, il;
--   last true on the last reply of its address in the call.
-- "@Outcomes": JSON {"clock": the configuration clock after the replies, "steady": how many
-- were stored by the steady statement, "rows": [...]}, one object per stored reply: id, new (the address was not registered), st (the status
-- procedure's 0 or 50), aub/dxb (a configuration was stored before the reply), g (group,
-- null for none), os, fa/fd the match flags as stored; on a last reply, au/dx the stored
-- configuration it did not carry.
-- The steady replies from "p_from" on (0-based) that can be stored together: each names the
-- live computer of its address under that computer's own name (as stored, in any case), its
-- details pass the status procedure's checks, and its address has not come earlier in the
-- run. Returns how many there are in a row.
CREATE FUNCTION dbo.corvex_steady_replies(p_replies jsonb, p_from integer)
RETURNS integer LANGUAGE sql STABLE AS $$
    SELECT COALESCE(min(x.idx), jsonb_array_length(p_replies)) - p_from
      FROM (SELECT e.ord - 1 AS idx,
                   c."ComputerID" IS NOT NULL
                   AND COALESCE(e.value->>'n', '') <> ''
                   AND COALESCE((e.value->>'ip')::bigint BETWEEN 0 AND 4294967295, true)
                   AND row_number() OVER (PARTITION BY e.value->>'a' ORDER BY e.ord) = 1 AS steady
              FROM jsonb_array_elements(p_replies) WITH ORDINALITY e(value, ord)
              LEFT JOIN dbo."Computers" c
                ON c."MessageSystemAddress" = e.value->>'a' AND NOT c."Deleted"
               AND lower(c."ComputerName") = lower(e.value->>'n')
             WHERE e.ord - 1 >= p_from) x
     WHERE NOT x.steady
$$;

-- Stores the steady replies p_from .. p_from + p_count - 1 as the procedures of the one-reply
-- road store each of them (status details, connected, arrival, configurations, anti-virus
-- status, the virus data version), and returns their outcomes as a JSON array in order. A
-- row is written only where something differs, as each procedure writes only then.
CREATE FUNCTION dbo.corvex_store_steady_replies(p_replies jsonb, p_from integer, p_count integer)
RETURNS jsonb LANGUAGE plpgsql AS $$
DECLARE
    v_out jsonb;
    v_stored integer;
BEGIN
    -- The virus data versions first seen, the first reply of a key naming it. A text already
    -- stored has its key stored: only new texts are keyed, once each (materialised, so that
    -- the planner cannot key every reply's text before it drops the known ones).
    WITH n AS MATERIALIZED (
        SELECT e.ord, (e.value->>'vd')::dbo.nvarchar_128 AS vd
          FROM jsonb_array_elements(p_replies) WITH ORDINALITY e(value, ord)
         WHERE e.ord - 1 >= p_from AND e.ord - 1 < p_from + p_count
           AND (e.value->>'dv')::integer = 1 AND COALESCE(e.value->>'vd', '') <> ''
           AND NOT EXISTS (SELECT 1 FROM dbo."VirusDataVersions" x WHERE x."Version" = e.value->>'vd'))
    INSERT INTO dbo."VirusDataVersions" ("VersionKey", "Version")
    SELECT DISTINCT ON (k.key) k.key, n.vd
      FROM n CROSS JOIN LATERAL (SELECT dbo.version_key(n.vd) AS key OFFSET 0) k
     ORDER BY k.key, n.ord
    ON CONFLICT ("VersionKey") DO NOTHING;

    WITH r AS (
        SELECT e.ord - 1 AS idx, e.value AS j, (e.value->>'dv')::integer AS dv
          FROM jsonb_array_elements(p_replies) WITH ORDINALITY e(value, ord)
         WHERE e.ord - 1 >= p_from AND e.ord - 1 < p_from + p_count),
    v AS (
        SELECT r.idx, r.j, c."ComputerID" AS id, c."GroupID" AS g,
               c."HasGroupAUConfig" AS fa, c."HasGroupDexConfig" AS fd,
               COALESCE(c."AUConfigXML", '') <> '' AND r.j ? 'au' AS aub,
               COALESCE(c."DexConfigXML", '') <> '' AND r.j ? 'dc' AS dxb,
               CASE WHEN (r.j->>'last')::boolean AND NOT r.j ? 'au' THEN c."AUConfigXML" END AS au_kept,
               CASE WHEN (r.j->>'last')::boolean AND NOT r.j ? 'dc' THEN c."DexConfigXML" END AS dx_kept,
               -- UpdateComputerStatus, UpdateComputerConnectedState, ComputerLastMessageTimeSet
               (r.j->>'n')::dbo.nvarchar_31 AS n_name,
               COALESCE((r.j->>'d')::dbo.nvarchar_128, '') AS n_domain,
               COALESCE((r.j->>'o')::integer, 0) AS n_os,
               COALESCE((r.j->>'c')::dbo.nvarchar_512, '') AS n_description,
               (r.j->>'ip')::bigint AS n_ip,
               COALESCE((r.j->>'sp')::dbo.nvarchar_128, '') AS n_service_pack,
               COALESCE((r.j->>'u')::dbo.nvarchar_256, '') AS n_user,
               COALESCE((r.j->>'t')::timestamp, localtimestamp) AS n_time,
               -- UpdateComputerAUConfig, UpdateComputerDexConfig, where the reply carries them
               CASE WHEN r.j ? 'au' THEN NULLIF(r.j->>'au', '') ELSE c."AUConfigXML" END AS n_au,
               CASE WHEN r.j ? 'au' THEN COALESCE((r.j->>'p')::dbo.nvarchar_256, '') ELSE c."PrimaryCID" END AS n_primary,
               CASE WHEN r.j ? 'au' THEN COALESCE((r.j->>'s')::dbo.nvarchar_256, '') ELSE c."SecondaryCID" END AS n_secondary,
               CASE WHEN r.j ? 'dc' THEN NULLIF(r.j->>'dc', '') ELSE c."DexConfigXML" END AS n_dex_config,
               -- SetDexStatus (0: not installed, 1: running) or ComputerSetDexStatusNotRunning
               r.dv IS DISTINCT FROM 0 AS n_installed,
               CASE WHEN r.dv = 0 THEN NULL WHEN r.dv = 1 THEN true ELSE false END AS n_running,
               CASE WHEN r.dv = 0 THEN NULL WHEN r.dv = 1 THEN (r.j->>'on')::integer <> 0 ELSE false END AS n_on_access,
               CASE WHEN r.dv = 0 THEN '' WHEN r.dv = 1 THEN COALESCE((r.j->>'v')::dbo.nvarchar_128, '')
                    ELSE c."DexVersion" END AS n_version,
               CASE WHEN r.dv = 0 THEN 0 WHEN r.dv = 1 THEN (r.j->>'q')::integer
                    ELSE c."QuarantineCount" END AS n_quarantine,
               CASE WHEN r.dv = 0 THEN '' WHEN r.dv = 1 THEN COALESCE((r.j->>'vd')::dbo.nvarchar_128, '')
                    ELSE c."VirusDataVersion" END AS n_data_version,
               CASE WHEN r.dv = 0 THEN '' WHEN r.dv = 1 THEN COALESCE((r.j->>'ve')::dbo.nvarchar_128, '')
                    ELSE c."VirusEngineVersion" END AS n_engine_version,
               CASE WHEN r.dv = 0 THEN '' WHEN r.dv = 1 THEN COALESCE((r.j->>'ic')::dbo.nvarchar_128, '')
                    ELSE c."IDEChecksum" END AS n_checksum,
               CASE WHEN r.dv = 0 THEN '' WHEN r.dv = 1 THEN COALESCE((r.j->>'pi')::dbo.nvarchar_128, '')
                    ELSE c."ProductID" END AS n_product,
               CASE WHEN r.dv = 0 THEN NULL WHEN r.dv = 1 THEN NULLIF(r.j->>'il', '')
                    ELSE c."IDEList" END AS n_ide_list,
               CASE WHEN r.dv = 0 THEN 0
                    WHEN r.dv = 1 THEN (SELECT count(*) FROM regexp_split_to_table(COALESCE(r.j->>'il', ''), ';') x
                                         WHERE x <> '')::integer
                    ELSE c."IDENumber" END AS n_ide_number
          FROM r JOIN dbo."Computers" c
            ON c."MessageSystemAddress" = r.j->>'a' AND NOT c."Deleted"),
    u AS (
        UPDATE dbo."Computers" c SET
               "ComputerName" = v.n_name, "DomainName" = v.n_domain, "OperatingSystem" = v.n_os,
               "Description" = v.n_description, "IPAddress" = v.n_ip, "ServicePack" = v.n_service_pack,
               "LastLoggedOnUser" = v.n_user, "Connected" = true, "LastMessageTime" = v.n_time,
               -- The stored documents themselves where they are unchanged, so that they are
               -- not compressed and stored out of line again with every reply.
               "AUConfigXML" = CASE WHEN c."AUConfigXML" IS NOT DISTINCT FROM v.n_au THEN c."AUConfigXML" ELSE v.n_au END,
               "PrimaryCID" = v.n_primary, "SecondaryCID" = v.n_secondary,
               "DexConfigXML" = CASE WHEN c."DexConfigXML" IS NOT DISTINCT FROM v.n_dex_config THEN c."DexConfigXML"
                                     ELSE v.n_dex_config END,
               "DexInstalled" = v.n_installed, "DexRunning" = v.n_running, "DexOnAccess" = v.n_on_access,
               "DexVersion" = v.n_version, "QuarantineCount" = v.n_quarantine,
               "VirusDataVersion" = v.n_data_version, "VirusEngineVersion" = v.n_engine_version,
               "IDEChecksum" = v.n_checksum, "ProductID" = v.n_product,
               "IDEList" = CASE WHEN c."IDEList" IS NOT DISTINCT FROM v.n_ide_list THEN c."IDEList" ELSE v.n_ide_list END,
               "IDENumber" = v.n_ide_number
          FROM v
         WHERE c."ComputerID" = v.id
           AND (c."ComputerName", c."DomainName", c."OperatingSystem", c."Description", c."IPAddress",
                c."ServicePack", c."LastLoggedOnUser", c."Connected", c."LastMessageTime",
                c."AUConfigXML", c."PrimaryCID", c."SecondaryCID", c."DexConfigXML",
                c."DexInstalled", c."DexRunning", c."DexOnAccess", c."DexVersion", c."QuarantineCount",
                c."VirusDataVersion", c."VirusEngineVersion", c."IDEChecksum", c."ProductID", c."IDEList",
                c."IDENumber")
               IS DISTINCT FROM
               (v.n_name, v.n_domain, v.n_os, v.n_description, v.n_ip,
                v.n_service_pack, v.n_user, true, v.n_time,
                v.n_au, v.n_primary, v.n_secondary, v.n_dex_config,
                v.n_installed, v.n_running, v.n_on_access, v.n_version, v.n_quarantine,
                v.n_data_version, v.n_engine_version, v.n_checksum, v.n_product, v.n_ide_list,
                v.n_ide_number))
    SELECT COALESCE(jsonb_agg(jsonb_strip_nulls(jsonb_build_object('au', v.au_kept, 'dx', v.dx_kept))
                              || jsonb_build_object('id', v.id, 'new', false, 'st', 0, 'aub', v.aub, 'dxb', v.dxb,
                                                    'g', v.g, 'os', v.n_os, 'fa', v.fa, 'fd', v.fd)
                              ORDER BY v.idx), '[]'::jsonb),
           count(*)
      INTO v_out, v_stored
      FROM v;
    IF v_stored <> p_count THEN
        -- A computer went away under the run: the caller takes the reply one at a time.
        RAISE EXCEPTION USING ERRCODE = 'CX001';
    END IF;
    RETURN v_out;
END $$;

CREATE FUNCTION dbo."ApplyStatusReplies"(
    OUT "@RETURN_VALUE" integer,
    "@Replies" text,
    OUT "@Applied" integer,
    OUT "@Outcomes" text)
LANGUAGE plpgsql AS $$
DECLARE
    v_all jsonb := "@Replies"::jsonb;
    v_count integer := jsonb_array_length(v_all);
    v_at integer := 0;
    v_run integer;
    v_steady integer := 0;
    v_sets boolean := true;
    r jsonb;
    rows jsonb := '[]';
    v_ret integer;
    v_id integer;
    v_known boolean;
    v_status integer;
    v_aub boolean;
    v_dxb boolean;
    v_group integer;
    v_os integer;
    v_au text;
    v_dx text;
    v_fa boolean;
    v_fd boolean;
    v_out jsonb;
BEGIN
    "@RETURN_VALUE" := 0;
    "@Applied" := 0;
    WHILE v_at < v_count LOOP
        -- A run of steady replies in one statement, in a block of its own: one that does not
        -- go through undoes the run, and its first reply goes the way of the others (as do the
        -- rest of the call's replies, so that a run that fails is not tried again and again).
        v_run := CASE WHEN v_sets THEN dbo.corvex_steady_replies(v_all, v_at) ELSE 0 END;
        IF v_run > 0 THEN
            BEGIN
                rows := rows || dbo.corvex_store_steady_replies(v_all, v_at, v_run);
                v_at := v_at + v_run;
                v_steady := v_steady + v_run;
                "@Applied" := "@Applied" + v_run;
                CONTINUE;
            EXCEPTION WHEN OTHERS THEN
                v_sets := false;
            END;
        END IF;

        r := v_all->v_at;
        BEGIN
            SELECT p."@RETURN_VALUE", p."@ComputerID" INTO v_ret, v_id
              FROM dbo."GetCompFromMessageSystemAddressStr"((r->>'a')::dbo.nvarchar_255) p;
            IF v_ret = 0 THEN
                v_known := true;
            ELSIF v_ret IN (39, 48) THEN
                v_known := false;
            ELSE
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;
            v_aub := false;
            v_dxb := false;
            IF v_known THEN
                SELECT COALESCE(c."AUConfigXML", '') <> '' AND r ? 'au',
                       COALESCE(c."DexConfigXML", '') <> '' AND r ? 'dc'
                  INTO v_aub, v_dxb FROM dbo."Computers" c WHERE c."ComputerID" = v_id;
            END IF;

            SELECT p."@RETURN_VALUE" INTO v_status
              FROM dbo."UpdateComputerStatus"((r->>'n')::dbo.nvarchar_31, (r->>'d')::dbo.nvarchar_128,
                   (r->>'a')::dbo.nvarchar_255, (r->>'o')::integer, (r->>'c')::dbo.nvarchar_512,
                   (r->>'ip')::bigint, (r->>'sp')::dbo.nvarchar_128, (r->>'u')::dbo.nvarchar_256) p;
            IF v_status NOT IN (0, 50) THEN
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;
            SELECT p."@RETURN_VALUE" INTO v_ret
              FROM dbo."UpdateComputerConnectedState"((r->>'a')::dbo.nvarchar_255, (-1)::smallint) p;
            IF v_ret NOT IN (0, 50) THEN
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;
            IF NOT v_known THEN
                SELECT p."@RETURN_VALUE", p."@ComputerID" INTO v_ret, v_id
                  FROM dbo."GetCompFromMessageSystemAddressStr"((r->>'a')::dbo.nvarchar_255) p;
                IF v_ret <> 0 THEN
                    RAISE EXCEPTION USING ERRCODE = 'CX001';
                END IF;
            END IF;
            IF (SELECT p."@RETURN_VALUE" FROM dbo."ComputerLastMessageTimeSet"(v_id, (r->>'t')::timestamp) p) <> 0 THEN
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;
            IF r ? 'au' THEN
                IF (SELECT p."@RETURN_VALUE" FROM dbo."UpdateComputerAUConfig"(v_id, r->>'au',
                        (r->>'p')::dbo.nvarchar_256, (r->>'s')::dbo.nvarchar_256) p) NOT IN (0, 50) THEN
                    RAISE EXCEPTION USING ERRCODE = 'CX001';
                END IF;
            END IF;
            IF r ? 'dc' THEN
                IF (SELECT p."@RETURN_VALUE" FROM dbo."UpdateComputerDexConfig"(v_id, r->>'dc') p) <> 0 THEN
                    RAISE EXCEPTION USING ERRCODE = 'CX001';
                END IF;
            END IF;
            CASE (r->>'dv')::integer
                WHEN 0 THEN
                    v_ret := (SELECT p."@RETURN_VALUE" FROM dbo."SetDexStatus"(v_id, 0, NULL, '', 0, '', '', '', '', '') p);
                WHEN 1 THEN
                    v_ret := (SELECT p."@RETURN_VALUE" FROM dbo."SetDexStatus"(v_id, 1, (r->>'on')::integer,
                        (r->>'v')::dbo.nvarchar_128, (r->>'q')::integer, (r->>'vd')::dbo.nvarchar_128,
                        (r->>'ve')::dbo.nvarchar_128, (r->>'ic')::dbo.nvarchar_128, (r->>'pi')::dbo.nvarchar_128,
                        r->>'il') p);
                ELSE
                    v_ret := (SELECT p."@RETURN_VALUE" FROM dbo."ComputerSetDexStatusNotRunning"(v_id) p);
            END CASE;
            IF v_ret <> 0 THEN
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;

            SELECT c."GroupID", c."OperatingSystem",
                   CASE WHEN (r->>'last')::boolean AND NOT r ? 'au' THEN c."AUConfigXML" END,
                   CASE WHEN (r->>'last')::boolean AND NOT r ? 'dc' THEN c."DexConfigXML" END,
                   c."HasGroupAUConfig", c."HasGroupDexConfig"
              INTO v_group, v_os, v_au, v_dx, v_fa, v_fd
              FROM dbo."Computers" c WHERE c."ComputerID" = v_id;
            v_out := jsonb_build_object('id', v_id, 'new', NOT v_known, 'st', v_status, 'aub', v_aub,
                                        'dxb', v_dxb, 'g', v_group, 'os', v_os, 'fa', v_fa, 'fd', v_fd);
            IF v_au IS NOT NULL THEN
                v_out := v_out || jsonb_build_object('au', v_au);
            END IF;
            IF v_dx IS NOT NULL THEN
                v_out := v_out || jsonb_build_object('dx', v_dx);
            END IF;
            rows := rows || jsonb_build_array(v_out);
        EXCEPTION WHEN OTHERS THEN
            -- Undone; the caller applies it on the one-reply road.
            EXIT;
        END;
        "@Applied" := "@Applied" + 1;
        v_at := v_at + 1;
    END LOOP;
    "@Outcomes" := jsonb_build_object(
        'clock', (SELECT k."Clock" FROM dbo."ConfigurationClock" k),
        'steady', v_steady,
        'rows', rows)::text;
END $$;

-- Records the configuration checks of a pass: "@Checks" is a JSON array of [computer, update
-- flag, anti-virus flag] (1 matches, 0 differs, null unknown), applied in order with the
-- procedures a single check uses. A computer gone meanwhile (39) is skipped as a single check
-- skips it. "@Failed" counts the other refusals.
CREATE FUNCTION dbo."RecordConfigurationChecks"(
    OUT "@RETURN_VALUE" integer,
    "@Checks" text,
    OUT "@Failed" integer)
LANGUAGE plpgsql AS $$
DECLARE
    c jsonb;
    v_ret integer;
BEGIN
    "@RETURN_VALUE" := 0;
    "@Failed" := 0;
    -- One check per computer, the usual case: both flags of every computer in one statement.
    -- The flag procedures refuse nothing but a computer that is gone, which is skipped here
    -- as there.
    IF (SELECT count(DISTINCT (k.value->>0)) = count(*) FROM jsonb_array_elements("@Checks"::jsonb) k) THEN
        BEGIN
            UPDATE dbo."Computers" t SET "HasGroupAUConfig" = k.fa, "HasGroupDexConfig" = k.fd
              FROM (SELECT (e.value->>0)::integer AS id, (e.value->>1)::integer <> 0 AS fa,
                           (e.value->>2)::integer <> 0 AS fd
                      FROM jsonb_array_elements("@Checks"::jsonb) e) k
             WHERE t."ComputerID" = k.id AND NOT t."Deleted"
               AND (t."HasGroupAUConfig", t."HasGroupDexConfig") IS DISTINCT FROM (k.fa, k.fd);
            RETURN;
        EXCEPTION WHEN OTHERS THEN
            NULL;  -- one at a time, where each refusal is counted
        END;
    END IF;
    FOR c IN SELECT value FROM jsonb_array_elements("@Checks"::jsonb) LOOP
        v_ret := (SELECT p."@RETURN_VALUE" FROM dbo."ComputerHasGroupAUConfig"((c->>0)::integer, (c->>1)::integer) p);
        IF v_ret = 39 THEN
            CONTINUE;
        ELSIF v_ret <> 0 THEN
            "@Failed" := "@Failed" + 1;
            CONTINUE;
        END IF;
        v_ret := (SELECT p."@RETURN_VALUE" FROM dbo."ComputerHasGroupDexConfig"((c->>0)::integer, (c->>2)::integer) p);
        IF v_ret NOT IN (0, 39) THEN
            "@Failed" := "@Failed" + 1;
        END IF;
    END LOOP;
END $$;

-- The steady events from "p_from" on (0-based): each names the live computer of its address
-- under that computer's own name and carries an alert time. Returns how many there are in a
-- row. Several events of one computer may be in the run: they only add alerts to it.
CREATE FUNCTION dbo.corvex_steady_events(p_events jsonb, p_from integer)
RETURNS integer LANGUAGE sql STABLE AS $$
    SELECT COALESCE(min(x.idx), jsonb_array_length(p_events)) - p_from
      FROM (SELECT e.ord - 1 AS idx,
                   c."ComputerID" IS NOT NULL AND COALESCE(e.value->>'n', '') <> ''
                   AND e.value->>'at' IS NOT NULL AS steady
              FROM jsonb_array_elements(p_events) WITH ORDINALITY e(value, ord)
              LEFT JOIN dbo."Computers" c
                ON c."MessageSystemAddress" = e.value->>'a' AND NOT c."Deleted"
               AND lower(c."ComputerName") = lower(e.value->>'n')
             WHERE e.ord - 1 >= p_from) x
     WHERE NOT x.steady
$$;

-- Stores the steady events p_from .. p_from + p_count - 1 as the one-event road stores each
-- of them: the computer's arrival time, the envelope recorded so that one delivered again
-- stores nothing twice (the first event of a key in the run is the one stored), the alert
-- and the computer's count of outstanding virus alerts. Returns the computers, in order.
CREATE FUNCTION dbo.corvex_store_steady_events(p_events jsonb, p_from integer, p_count integer)
RETURNS jsonb LANGUAGE plpgsql AS $$
DECLARE
    v_ids jsonb;
    v_stored integer;
    v_new integer;
BEGIN
    WITH r AS (
        SELECT e.ord - 1 AS idx, c."ComputerID" AS id,
               (e.value->>'a')::dbo.nvarchar_255 AS a, (e.value->>'n')::dbo.nvarchar_31 AS n,
               (e.value->>'d')::dbo.nvarchar_128 AS d,
               COALESCE((e.value->>'t')::timestamp, localtimestamp) AS t,
               COALESCE((e.value->>'k')::dbo.nvarchar_255, '') AS k,
               (e.value->>'at')::timestamp AS at,
               COALESCE((e.value->>'un')::dbo.nvarchar_256, '') AS un,
               COALESCE((e.value->>'vn')::dbo.nvarchar_32, '') AS vn,
               COALESCE((e.value->>'vt')::integer, 0) AS vt,
               COALESCE((e.value->>'ii')::dbo.nvarchar_256, '') AS ii,
               COALESCE((e.value->>'st')::integer, 0) AS st,
               COALESCE((e.value->>'ac')::integer, 0) AS ac
          FROM jsonb_array_elements(p_events) WITH ORDINALITY e(value, ord)
          JOIN dbo."Computers" c ON c."MessageSystemAddress" = e.value->>'a' AND NOT c."Deleted"
         WHERE e.ord - 1 >= p_from AND e.ord - 1 < p_from + p_count),
    first_of_key AS (
        SELECT DISTINCT ON (r.k) r.k, r.idx FROM r WHERE r.k <> '' ORDER BY r.k, r.idx),
    new_key AS (
        INSERT INTO dbo."AppliedEnvelopes" ("DeliveryKey")
        SELECT f.k FROM first_of_key f ORDER BY f.idx
        ON CONFLICT DO NOTHING
        RETURNING "DeliveryKey"),
    alert AS (
        SELECT r.* FROM r
         WHERE r.k = '' OR r.idx IN (SELECT f.idx FROM first_of_key f JOIN new_key n ON n."DeliveryKey" = f.k)),
    per_computer AS (
        SELECT r.id, (array_agg(r.t ORDER BY r.idx DESC))[1] AS last_time,
               (SELECT count(*) FROM alert a WHERE a.id = r.id) AS alerts
          FROM r GROUP BY r.id),
    counted AS (
        UPDATE dbo."Computers" c SET
               "LastMessageTime" = p.last_time,
               "OutstandingVirusAlerts" = c."OutstandingVirusAlerts" + p.alerts
          FROM per_computer p
         WHERE c."ComputerID" = p.id
           AND (c."LastMessageTime" IS DISTINCT FROM p.last_time OR p.alerts > 0)),
    stored AS (
        INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "UserName", "VirusName",
                                  "VirusType", "InfectedItem", "ScannerType", "ActionTaken")
        SELECT a.id, 2, a.at, a.un, a.vn, a.vt, a.ii, a.st, a.ac FROM alert a ORDER BY a.idx
        RETURNING 1)
    SELECT COALESCE(jsonb_agg(jsonb_build_object('id', r.id, 'made', false) ORDER BY r.idx), '[]'::jsonb),
           count(*), (SELECT count(*) FROM new_key)
      INTO v_ids, v_stored, v_new
      FROM r;
    IF v_stored <> p_count THEN
        RAISE EXCEPTION USING ERRCODE = 'CX001';
    END IF;
    -- Old records go now and then, as a single alert's record does it.
    IF v_new > 0 AND random() < 0.001 * v_new THEN
        DELETE FROM dbo."AppliedEnvelopes" WHERE "AppliedAt" < (now() AT TIME ZONE 'UTC') - interval '7 days';
    END IF;
    RETURN v_ids;
END $$;

-- The virus events of one pass in one call, each as the one-event road applies it: the computer
-- from its address, name and domain, its arrival, the envelope named for the duplicate check,
-- the alert. Handed back as the replies are.
-- "@Events": a JSON array, one object per event in queue order: a address, n name, d domain,
--   t arrival (local time), k delivery key (empty: none), at the alert's time, un user, vn virus,
--   vt virus type, ii infected item, st scanner type, ac action taken.
-- "@Outcomes": JSON {"steady": how many the steady statement stored, "rows": [...]}, one
-- object per stored event: id, made (the computer was made, came back or took the address:
-- the membership and state clocks tick).
CREATE FUNCTION dbo."ApplyVirusEvents"(
    OUT "@RETURN_VALUE" integer,
    "@Events" text,
    OUT "@Applied" integer,
    OUT "@Outcomes" text)
LANGUAGE plpgsql AS $$
DECLARE
    v_all jsonb := "@Events"::jsonb;
    v_count integer := jsonb_array_length(v_all);
    v_at integer := 0;
    v_run integer;
    v_sets boolean := true;
    v_steady integer := 0;
    r jsonb;
    rows jsonb := '[]';
    v_ret integer;
    v_deleted integer;
    v_id integer;
BEGIN
    "@RETURN_VALUE" := 0;
    "@Applied" := 0;
    WHILE v_at < v_count LOOP
        -- A run of steady events in one statement, in a block of its own, as for the replies.
        v_run := CASE WHEN v_sets THEN dbo.corvex_steady_events(v_all, v_at) ELSE 0 END;
        IF v_run > 0 THEN
            BEGIN
                rows := rows || dbo.corvex_store_steady_events(v_all, v_at, v_run);
                v_at := v_at + v_run;
                v_steady := v_steady + v_run;
                "@Applied" := "@Applied" + v_run;
                CONTINUE;
            EXCEPTION WHEN OTHERS THEN
                v_sets := false;
            END;
        END IF;
        r := v_all->v_at;
        BEGIN
            SELECT p."@RETURN_VALUE", p."@ComputerDeleted", p."@ComputerID" INTO v_ret, v_deleted, v_id
              FROM dbo."ComputerFromAddressNameDomain"((r->>'a')::dbo.nvarchar_255, (r->>'n')::dbo.nvarchar_31,
                   (r->>'d')::dbo.nvarchar_128) p;
            IF v_ret NOT IN (0, 8) THEN
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;
            -- One step after the other, as the one-event road takes them.
            IF (SELECT p."@RETURN_VALUE" FROM dbo."ComputerLastMessageTimeSet"(v_id, (r->>'t')::timestamp) p) <> 0 THEN
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;
            IF (SELECT p."@RETURN_VALUE" FROM dbo."EnvelopeBegin"((r->>'k')::dbo.nvarchar_255) p) <> 0 THEN
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;
            IF (SELECT p."@RETURN_VALUE" FROM dbo."AddVirusAlert"(v_id, (r->>'at')::timestamp,
                    (r->>'un')::dbo.nvarchar_256, (r->>'vn')::dbo.nvarchar_32, (r->>'vt')::integer,
                    (r->>'ii')::dbo.nvarchar_256, (r->>'st')::integer, (r->>'ac')::integer) p) <> 0 THEN
                RAISE EXCEPTION USING ERRCODE = 'CX001';
            END IF;
            PERFORM dbo."EnvelopeBegin"(''::dbo.nvarchar_255);
            rows := rows || jsonb_build_array(jsonb_build_object('id', v_id, 'made', NOT (v_ret = 8 AND v_deleted = 0)));
        EXCEPTION WHEN OTHERS THEN
            EXIT;
        END;
        "@Applied" := "@Applied" + 1;
        v_at := v_at + 1;
    END LOOP;
    "@Outcomes" := jsonb_build_object('steady', v_steady, 'rows', rows)::text;
END $$;
