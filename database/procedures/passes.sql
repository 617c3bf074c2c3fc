-- The processing thread's set-wise road: the status replies of one pass in one call, and the
-- configuration checks of the pass in another, instead of a dozen calls per reply.
--
-- Each reply is applied with the same procedures, in the same order and with the same
-- parameters as the one-reply road, so both store the same. A reply runs in a block of its
-- own; the first one that gets anything but the usual answers from a procedure (or any error)
-- is undone and handed back: "@Applied" says how many were stored before it, and the caller
-- applies that one through the one-reply road, which does with the odd answer what it always
-- did, then sends the rest again.

-- "@Replies": a JSON array, one object per reply in queue order:
--   a address, n name, d domain, o operating-system code, c comment, ip, sp service pack,
--   u last user, t arrival (local time); au, p, s the update configuration and its locations
--   (absent: none reported); dc the anti-virus configuration as stored (absent: none);
--   dv availability 0/1/2 with, for 1, the status: on, v, q, vd, ve, ic, pi, il;
--   last true on the last reply of its address in the call.
-- "@Outcomes": JSON {"clock": the configuration clock after the replies, "rows": [...]}, one
-- object per stored reply: id, new (the address was not registered), st (the status
-- procedure's 0 or 50), aub/dxb (a configuration was stored before the reply), g (group,
-- null for none), os, fa/fd the match flags as stored; on a last reply, au/dx the stored
-- configuration it did not carry.
CREATE FUNCTION dbo."ApplyStatusReplies"(
    OUT "@RETURN_VALUE" integer,
    "@Replies" text,
    OUT "@Applied" integer,
    OUT "@Outcomes" text)
LANGUAGE plpgsql AS $$
DECLARE
    r jsonb;
    rows jsonb[] := '{}';
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
    FOR r IN SELECT value FROM jsonb_array_elements("@Replies"::jsonb) LOOP
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
            rows := rows || v_out;
        EXCEPTION WHEN OTHERS THEN
            -- Undone; the caller applies it on the one-reply road.
            EXIT;
        END;
        "@Applied" := "@Applied" + 1;
    END LOOP;
    "@Outcomes" := jsonb_build_object(
        'clock', (SELECT k."Clock" FROM dbo."ConfigurationClock" k),
        'rows', to_jsonb(rows))::text;
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

-- The virus events of one pass in one call, each as the one-event road applies it: the computer
-- from its address, name and domain, its arrival, the envelope named for the duplicate check,
-- the alert. Handed back as the replies are.
-- "@Events": a JSON array, one object per event in queue order: a address, n name, d domain,
--   t arrival (local time), k delivery key (empty: none), at the alert's time, un user, vn virus,
--   vt virus type, ii infected item, st scanner type, ac action taken.
-- "@Outcomes": a JSON array, one object per stored event: id, made (the computer was made,
-- came back or took the address: the membership and state clocks tick).
CREATE FUNCTION dbo."ApplyVirusEvents"(
    OUT "@RETURN_VALUE" integer,
    "@Events" text,
    OUT "@Applied" integer,
    OUT "@Outcomes" text)
LANGUAGE plpgsql AS $$
DECLARE
    r jsonb;
    rows jsonb[] := '{}';
    v_ret integer;
    v_deleted integer;
    v_id integer;
BEGIN
    "@RETURN_VALUE" := 0;
    "@Applied" := 0;
    FOR r IN SELECT value FROM jsonb_array_elements("@Events"::jsonb) LOOP
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
            rows := rows || jsonb_build_object('id', v_id, 'made', NOT (v_ret = 8 AND v_deleted = 0));
        EXCEPTION WHEN OTHERS THEN
            EXIT;
        END;
        "@Applied" := "@Applied" + 1;
    END LOOP;
    "@Outcomes" := to_jsonb(rows)::text;
END $$;
