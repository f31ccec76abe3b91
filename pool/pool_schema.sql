-- The shared address pool's layout in the schema pelmo4rix, read top to bottom like a
-- migration: each section brings a layout of the version before it to its own version.
-- `pelmo4rix pool init` reads schema_version first (no layout: version 0) and runs, in one
-- transaction, every section above it; a layout newer than the program is left untouched.
-- A section starts with a line of its own: two dashes, "layout" and its number. No at-sign
-- anywhere: the build embeds this text.

-- layout 1: the ranges, one row per address handed out, the production record.
CREATE SCHEMA IF NOT EXISTS pelmo4rix;
CREATE TABLE pelmo4rix.schema_version (version integer NOT NULL);
INSERT INTO pelmo4rix.schema_version VALUES (1);
CREATE TABLE pelmo4rix.ranges (
    id serial PRIMARY KEY,
    first bigint NOT NULL CHECK (first BETWEEN 0 AND 281474976710655),
    last bigint NOT NULL CHECK (last >= first AND last >> 24 = first >> 24),
    next bigint NOT NULL CHECK (next BETWEEN first AND last + 1),
    EXCLUDE USING gist (int8range(first, last, '[]') WITH &&));
CREATE SEQUENCE pelmo4rix.reservations;
CREATE TABLE pelmo4rix.addresses (
    address bigint PRIMARY KEY,
    state text NOT NULL CHECK (state IN ('in_progress', 'good', 'given_back', 'in_doubt')),
    reservation bigint NOT NULL UNIQUE,
    station text NOT NULL,
    holder integer,
    changed timestamptz NOT NULL DEFAULT now());
CREATE INDEX addresses_given_back ON pelmo4rix.addresses (address) WHERE state = 'given_back';
CREATE TABLE pelmo4rix.records (
    reservation bigint PRIMARY KEY,
    time timestamptz NOT NULL,
    port text NOT NULL,
    address bigint NOT NULL,
    image_version text NOT NULL,
    image_checksum text NOT NULL,
    result text NOT NULL CHECK (result IN ('good', 'failed')),
    error_code integer NOT NULL,
    attempts integer NOT NULL,
    seconds numeric(10, 1) NOT NULL,
    station text NOT NULL);
CREATE UNIQUE INDEX records_one_good ON pelmo4rix.records (address) WHERE result = 'good';
CREATE INDEX records_time ON pelmo4rix.records (time);

-- layout 2: a reservation belongs to a station instance that renews its lease on the
-- server's clock, not to a server process; every change of state is a function below, and
-- the stations may only read the tables and call their functions.
UPDATE pelmo4rix.schema_version SET version = 2;

-- How long a lease lasts without renewal; a station renews it several times within.
CREATE TABLE pelmo4rix.settings (
    lease_seconds integer NOT NULL CHECK (lease_seconds BETWEEN 1 AND 86400));
INSERT INTO pelmo4rix.settings VALUES (60);

-- One row per running gang or `flash --pool`: its random id, made when it starts.
CREATE TABLE pelmo4rix.instances (
    id text PRIMARY KEY CHECK (length(id) BETWEEN 8 AND 64),
    station text NOT NULL,
    started timestamptz NOT NULL DEFAULT now(),
    renewed timestamptz NOT NULL DEFAULT now(),
    expires timestamptz NOT NULL,
    ended boolean NOT NULL DEFAULT false);

-- A version 1 reservation named a server process, which proves nothing: it is in doubt.
UPDATE pelmo4rix.addresses SET state = 'in_doubt', changed = now() WHERE state = 'in_progress';
ALTER TABLE pelmo4rix.addresses
    DROP COLUMN holder,
    ADD COLUMN instance text REFERENCES pelmo4rix.instances,
    ADD COLUMN reserved timestamptz,
    ADD COLUMN phase text,
    ADD CONSTRAINT in_progress_has_instance CHECK (state <> 'in_progress' OR instance IS NOT NULL);
UPDATE pelmo4rix.addresses SET reserved = changed;
ALTER TABLE pelmo4rix.addresses ALTER COLUMN reserved SET NOT NULL, ALTER COLUMN reserved SET DEFAULT now();
CREATE INDEX addresses_instance ON pelmo4rix.addresses (instance) WHERE state = 'in_progress';

-- Nothing leaves good, whoever asks.
CREATE FUNCTION pelmo4rix.keep_good() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    RAISE EXCEPTION 'address % is good: its state never changes', OLD.address USING ERRCODE = '23514';
END $$;
CREATE TRIGGER addresses_keep_good BEFORE UPDATE OR DELETE ON pelmo4rix.addresses
    FOR EACH ROW WHEN (OLD.state = 'good') EXECUTE FUNCTION pelmo4rix.keep_good();

-- Each address as it counts now: an in-progress address whose instance's lease has expired,
-- or whose instance ended, is in doubt. With the unit's record, where one was stored.
CREATE VIEW pelmo4rix.address_states AS
SELECT a.address, a.reservation, a.station, a.instance, a.reserved, a.phase, a.changed,
       CASE WHEN a.state = 'in_progress' AND NOT EXISTS (
                SELECT 1 FROM pelmo4rix.instances i WHERE i.id = a.instance AND NOT i.ended AND i.expires >= now())
            THEN 'in_doubt' ELSE a.state END AS state,
       r.result, r.error_code, r.port, r.time AS record_time
FROM pelmo4rix.addresses a LEFT JOIN pelmo4rix.records r ON r.reservation = a.reservation;

-- Renews the lease of `p_instance` (made at its first call). When it had expired or ended,
-- what the instance held is in doubt for good first. Returns the instance's reservations
-- still in progress (taken back), those just turned in doubt, and the lease's length.
CREATE FUNCTION pelmo4rix.renew(p_instance text, p_station text,
                                OUT adopted integer, OUT doubted integer, OUT lease integer)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
DECLARE
    lapsed boolean;
BEGIN
    SELECT s.lease_seconds INTO lease FROM settings s;
    SELECT i.expires < now() OR i.ended INTO lapsed FROM instances i WHERE i.id = p_instance FOR UPDATE;
    doubted := 0;
    IF lapsed THEN
        UPDATE addresses a SET state = 'in_doubt', changed = now()
            WHERE a.instance = p_instance AND a.state = 'in_progress';
        GET DIAGNOSTICS doubted = ROW_COUNT;
    END IF;
    INSERT INTO instances (id, station, expires) VALUES (p_instance, p_station, now() + lease * interval '1 second')
        ON CONFLICT (id) DO UPDATE SET renewed = now(), expires = EXCLUDED.expires, ended = false;
    SELECT count(*) INTO adopted FROM addresses a WHERE a.instance = p_instance AND a.state = 'in_progress';
END $$;

-- The next address for a unit of `p_instance`: a reservation of its own that it does not
-- know (`p_known` are those it knows: the answer to its commit was lost), else the lowest
-- address given back, else the next of a range never handed out. Null when none is left.
CREATE FUNCTION pelmo4rix.reserve(p_instance text, p_station text, p_known bigint[],
                                  OUT taken_address bigint, OUT taken_reservation bigint, OUT addresses_left bigint)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
BEGIN
    PERFORM renew(p_instance, p_station);
    SELECT a.address, a.reservation INTO taken_address, taken_reservation FROM addresses a
        WHERE a.instance = p_instance AND a.state = 'in_progress' AND a.reservation <> ALL (p_known)
        ORDER BY a.reservation LIMIT 1;
    IF taken_address IS NULL THEN
        UPDATE addresses a SET state = 'in_progress', reservation = nextval('reservations'), station = p_station,
                instance = p_instance, reserved = now(), phase = 'reserved', changed = now()
            WHERE a.address = (SELECT g.address FROM addresses g WHERE g.state = 'given_back'
                               ORDER BY g.address LIMIT 1 FOR UPDATE SKIP LOCKED)
            RETURNING a.address, a.reservation INTO taken_address, taken_reservation;
    END IF;
    -- The range row's lock orders the reservers; `next <= last` is checked again on the row
    -- as the lock holder before us left it, so a range used up meanwhile means another try.
    WHILE taken_address IS NULL AND EXISTS (SELECT 1 FROM ranges r WHERE r.next <= r.last) LOOP
        WITH taken AS (
            UPDATE ranges r SET next = r.next + 1
            WHERE r.id = (SELECT f.id FROM ranges f WHERE f.next <= f.last ORDER BY f.id LIMIT 1 FOR UPDATE)
              AND r.next <= r.last
            RETURNING r.next - 1 AS address)
        INSERT INTO addresses (address, state, reservation, station, instance, phase)
            SELECT t.address, 'in_progress', nextval('reservations'), p_station, p_instance, 'reserved' FROM taken t
            RETURNING address, reservation INTO taken_address, taken_reservation;
    END LOOP;
    SELECT (SELECT coalesce(sum(r.last - r.next + 1), 0) FROM ranges r)
         + (SELECT count(*) FROM addresses a WHERE a.state = 'given_back') INTO addresses_left;
END $$;

-- What the station last reported of the unit with `p_reservation` (for `pool status --doubt`).
CREATE FUNCTION pelmo4rix.note_phase(p_instance text, p_reservation bigint, p_phase text) RETURNS void
LANGUAGE sql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
    UPDATE addresses SET phase = p_phase
        WHERE reservation = p_reservation AND instance = p_instance AND state = 'in_progress';
$$;

-- Stores a unit's record and moves its address to `p_outcome` (good, given_back, in_doubt),
-- in one transaction, while the reservation still holds its address; true also when an
-- earlier call stored it already (a result sent twice changes nothing).
CREATE FUNCTION pelmo4rix.finish(p_reservation bigint, p_time timestamptz, p_port text, p_image_version text,
                                 p_image_checksum text, p_good boolean, p_error_code integer, p_attempts integer,
                                 p_seconds numeric, p_station text, p_outcome text) RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
DECLARE
    held bigint;
BEGIN
    IF p_outcome NOT IN ('good', 'given_back', 'in_doubt') OR (p_outcome = 'good') <> p_good THEN
        RAISE EXCEPTION 'no such outcome for a unit: %', p_outcome USING ERRCODE = '22023';
    END IF;
    SELECT a.address INTO held FROM addresses a
        WHERE a.reservation = p_reservation AND a.state IN ('in_progress', 'in_doubt') FOR UPDATE;
    IF held IS NULL THEN
        RETURN EXISTS (SELECT 1 FROM records r WHERE r.reservation = p_reservation);
    END IF;
    INSERT INTO records (reservation, time, port, address, image_version, image_checksum, result, error_code,
                         attempts, seconds, station)
        VALUES (p_reservation, p_time, p_port, held, p_image_version, p_image_checksum,
                CASE WHEN p_good THEN 'good' ELSE 'failed' END, p_error_code, p_attempts, p_seconds, p_station)
        ON CONFLICT (reservation) DO NOTHING;
    UPDATE addresses a SET state = p_outcome, changed = now() WHERE a.address = held;
    RETURN true;
END $$;

-- An instance that ends: what it still holds is in doubt, and its lease is over.
CREATE FUNCTION pelmo4rix.end_instance(p_instance text) RETURNS integer
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
DECLARE
    doubted integer;
BEGIN
    PERFORM 1 FROM instances i WHERE i.id = p_instance FOR UPDATE;
    UPDATE addresses a SET state = 'in_doubt', changed = now() WHERE a.instance = p_instance AND a.state = 'in_progress';
    GET DIAGNOSTICS doubted = ROW_COUNT;
    UPDATE instances i SET ended = true WHERE i.id = p_instance;
    RETURN doubted;
END $$;

-- The engineer's word: gives an address in doubt back. Empty when released, else why not.
-- The instance's row is locked first, as renew locks it, so no renewal slips in between.
CREATE FUNCTION pelmo4rix.release(p_address bigint) RETURNS text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
DECLARE
    s record;
BEGIN
    PERFORM 1 FROM instances i WHERE i.id = (SELECT a.instance FROM addresses a WHERE a.address = p_address) FOR UPDATE;
    PERFORM 1 FROM addresses a WHERE a.address = p_address FOR UPDATE;
    SELECT * INTO s FROM address_states v WHERE v.address = p_address;
    IF NOT FOUND THEN
        RETURN 'it was never handed out';
    ELSIF s.state = 'good' THEN
        RETURN 'it is good: a unit of station ' || s.station || ' holds it';
    ELSIF s.state = 'given_back' THEN
        RETURN 'it is already given back';
    ELSIF s.state = 'in_progress' THEN
        RETURN format('station %s (instance %s) is programming a unit with it since %s and its lease is live',
                      s.station, s.instance, to_char(s.reserved AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'));
    END IF;
    UPDATE addresses a SET state = 'given_back', phase = NULL, changed = now() WHERE a.address = p_address;
    RETURN '';
END $$;

-- Rights: the tables are read-only to everyone but their owner; each function is for whom
-- it is granted to (the guide grants the station's five to the stations' role).
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA pelmo4rix FROM PUBLIC;
-- Roles that a version 1 guide let write the tables were stations: they read and call now.
DO $$
DECLARE
    r record;
BEGIN
    FOR r IN SELECT DISTINCT grantee FROM information_schema.role_table_grants
             WHERE table_schema = 'pelmo4rix' AND privilege_type IN ('INSERT', 'UPDATE', 'DELETE')
               AND grantee NOT IN (current_user, 'PUBLIC')
             UNION
             SELECT DISTINCT grantee FROM information_schema.role_column_grants
             WHERE table_schema = 'pelmo4rix' AND privilege_type = 'UPDATE' AND grantee NOT IN (current_user, 'PUBLIC')
    LOOP
        EXECUTE format('REVOKE INSERT, UPDATE, DELETE, TRUNCATE ON ALL TABLES IN SCHEMA pelmo4rix FROM %I', r.grantee);
        EXECUTE format('REVOKE USAGE, UPDATE ON ALL SEQUENCES IN SCHEMA pelmo4rix FROM %I', r.grantee);
        EXECUTE format('GRANT SELECT ON ALL TABLES IN SCHEMA pelmo4rix TO %I', r.grantee);
        EXECUTE format('GRANT EXECUTE ON FUNCTION pelmo4rix.renew, pelmo4rix.reserve, pelmo4rix.note_phase,'
                       ' pelmo4rix.finish, pelmo4rix.end_instance TO %I', r.grantee);
    END LOOP;
END $$;

-- layout 3: a unit back for re-work keeps the address written to it alone. Its new
-- reservation takes the address's own row over (`keep`), remembering the state the address
-- goes back to when the re-work fails; its record's result is `kept`. A good address leaves
-- good only that way, and comes back to good or to its earlier state at the unit's end.
UPDATE pelmo4rix.schema_version SET version = 3;
ALTER TABLE pelmo4rix.addresses
    ADD COLUMN kept_from text CHECK (kept_from IN ('good', 'in_doubt'));
ALTER TABLE pelmo4rix.records
    DROP CONSTRAINT records_result_check,
    ADD CONSTRAINT records_result_check CHECK (result IN ('good', 'failed', 'kept'));

-- Nothing leaves good but a re-work of its own unit, under the same address.
CREATE OR REPLACE FUNCTION pelmo4rix.keep_good() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF TG_OP = 'UPDATE' THEN
        IF NEW.address = OLD.address AND NEW.state = 'in_progress' AND NEW.kept_from = 'good' THEN
            RETURN NEW;
        END IF;
    END IF;
    RAISE EXCEPTION 'address % is good: its state never changes', OLD.address USING ERRCODE = '23514';
END $$;

-- Why `p_address` can't be kept by the unit that holds it; null when it can: the pool handed
-- it out, to one unit only (its first record good, and no later one good; or its first
-- record failed after it was written, and only kept units' records since).
CREATE FUNCTION pelmo4rix.why_not_kept(p_address bigint) RETURNS text
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
DECLARE
    a record;
    earliest record;
BEGIN
    SELECT * INTO a FROM addresses WHERE address = p_address;
    IF NOT FOUND THEN
        RETURN 'the pool does not know it';
    ELSIF a.state = 'given_back' THEN
        RETURN 'the pool has it given back';
    ELSIF a.state = 'in_progress' THEN
        RETURN 'station ' || a.station || ' is programming a unit with it';
    END IF;
    SELECT r.reservation, r.result INTO earliest FROM records r
        WHERE r.address = p_address ORDER BY r.reservation LIMIT 1;
    IF NOT FOUND THEN
        RETURN 'no unit''s record names it';
    ELSIF EXISTS (SELECT 1 FROM records r WHERE r.address = p_address AND r.reservation > earliest.reservation
                  AND (r.result = 'good' OR (earliest.result = 'failed' AND r.result <> 'kept'))) THEN
        RETURN 'handed out again (given back after a failed unit)';
    END IF;
    RETURN NULL;
END $$;

-- Takes `p_address` over for a unit of `p_instance` back for re-work, when it may keep it:
-- its row goes to in progress under a new reservation (0 and why not otherwise). The row's
-- lock orders two stations that would keep one address: the second finds it in progress.
CREATE FUNCTION pelmo4rix.keep(p_instance text, p_station text, p_address bigint,
                               OUT kept_reservation bigint, OUT refusal text)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
BEGIN
    PERFORM renew(p_instance, p_station);
    PERFORM 1 FROM addresses a WHERE a.address = p_address FOR UPDATE;
    refusal := why_not_kept(p_address);
    kept_reservation := 0;
    IF refusal IS NULL THEN
        UPDATE addresses a SET kept_from = coalesce(a.kept_from, a.state), state = 'in_progress',
                reservation = nextval('reservations'), station = p_station, instance = p_instance, reserved = now(),
                phase = 'kept', changed = now()
            WHERE a.address = p_address
            RETURNING a.reservation INTO kept_reservation;
    END IF;
END $$;

-- As in layout 2; a kept unit's record says `kept`, and its address goes back to good, or
-- when the re-work failed to the state it was kept from: it stays with its unit.
CREATE OR REPLACE FUNCTION pelmo4rix.finish(p_reservation bigint, p_time timestamptz, p_port text,
                                            p_image_version text, p_image_checksum text, p_good boolean,
                                            p_error_code integer, p_attempts integer, p_seconds numeric,
                                            p_station text, p_outcome text) RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
DECLARE
    held record;
BEGIN
    IF p_outcome NOT IN ('good', 'given_back', 'in_doubt') OR (p_outcome = 'good') <> p_good THEN
        RAISE EXCEPTION 'no such outcome for a unit: %', p_outcome USING ERRCODE = '22023';
    END IF;
    SELECT a.address, a.kept_from INTO held FROM addresses a
        WHERE a.reservation = p_reservation AND a.state IN ('in_progress', 'in_doubt') FOR UPDATE;
    IF NOT FOUND THEN
        RETURN EXISTS (SELECT 1 FROM records r WHERE r.reservation = p_reservation);
    END IF;
    INSERT INTO records (reservation, time, port, address, image_version, image_checksum, result, error_code,
                         attempts, seconds, station)
        VALUES (p_reservation, p_time, p_port, held.address, p_image_version, p_image_checksum,
                CASE WHEN NOT p_good THEN 'failed' WHEN held.kept_from IS NOT NULL THEN 'kept' ELSE 'good' END,
                p_error_code, p_attempts, p_seconds, p_station)
        ON CONFLICT (reservation) DO NOTHING;
    UPDATE addresses a SET state = CASE WHEN held.kept_from IS NULL THEN p_outcome
                                        WHEN p_good THEN 'good' ELSE held.kept_from END,
                           kept_from = NULL, changed = now()
        WHERE a.address = held.address;
    RETURN true;
END $$;

-- As in layout 2; an address kept on re-work is its unit's whatever became of the re-work.
CREATE OR REPLACE FUNCTION pelmo4rix.release(p_address bigint) RETURNS text
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
DECLARE
    s record;
BEGIN
    PERFORM 1 FROM instances i WHERE i.id = (SELECT a.instance FROM addresses a WHERE a.address = p_address) FOR UPDATE;
    PERFORM 1 FROM addresses a WHERE a.address = p_address FOR UPDATE;
    SELECT * INTO s FROM address_states v WHERE v.address = p_address;
    IF NOT FOUND THEN
        RETURN 'it was never handed out';
    ELSIF s.state = 'good' THEN
        RETURN 'it is good: a unit of station ' || s.station || ' holds it';
    ELSIF s.state = 'given_back' THEN
        RETURN 'it is already given back';
    ELSIF s.state = 'in_progress' THEN
        RETURN format('station %s (instance %s) is programming a unit with it since %s and its lease is live',
                      s.station, s.instance, to_char(s.reserved AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'));
    ELSIF EXISTS (SELECT 1 FROM addresses a WHERE a.address = p_address AND a.kept_from IS NOT NULL) THEN
        RETURN 'a unit back for re-work at station ' || s.station || ' kept it: the unit holds it';
    END IF;
    UPDATE addresses a SET state = 'given_back', phase = NULL, changed = now() WHERE a.address = p_address;
    RETURN '';
END $$;

-- Rights: the stations that may reserve may keep.
REVOKE ALL ON FUNCTION pelmo4rix.why_not_kept, pelmo4rix.keep FROM PUBLIC;
DO $$
DECLARE
    r record;
BEGIN
    FOR r IN SELECT DISTINCT grantee FROM information_schema.routine_privileges
             WHERE routine_schema = 'pelmo4rix' AND routine_name = 'reserve' AND privilege_type = 'EXECUTE'
               AND grantee NOT IN (current_user, 'PUBLIC')
    LOOP
        EXECUTE format('GRANT EXECUTE ON FUNCTION pelmo4rix.keep TO %I', r.grantee);
    END LOOP;
END $$;

-- layout 4: no older firmware by accident. A station asks, before its first unit, for the
-- newest image version recorded good (or kept) for an address of the range it draws from;
-- it refuses an older image unless told to downgrade. The station asks this function, so that
-- it needs no right to read the records themselves.
UPDATE pelmo4rix.schema_version SET version = 4;

-- The newest image version of a good or kept record for an address from `p_first` to `p_last`
-- (every address when null), its parts compared as numbers (6.10 is newer than 6.09); records
-- whose version is no number (a raw image's "unsigned") do not count. Null when none counts.
CREATE FUNCTION pelmo4rix.newest_good_version(p_first bigint, p_last bigint) RETURNS text
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pelmo4rix, pg_temp AS $$
    SELECT v[1] || '.' || v[2]
    FROM (SELECT regexp_match(r.image_version, '^([0-9]+)\.([0-9]+)( |$)') AS v FROM records r
          WHERE r.result IN ('good', 'kept')
            AND r.address BETWEEN coalesce(p_first, 0) AND coalesce(p_last, 281474976710655)) m
    WHERE v IS NOT NULL
    ORDER BY v[1]::numeric DESC, v[2]::numeric DESC
    LIMIT 1
$$;

-- Rights: the stations that may reserve may ask.
REVOKE ALL ON FUNCTION pelmo4rix.newest_good_version FROM PUBLIC;
DO $$
DECLARE
    r record;
BEGIN
    FOR r IN SELECT DISTINCT grantee FROM information_schema.routine_privileges
             WHERE routine_schema = 'pelmo4rix' AND routine_name = 'reserve' AND privilege_type = 'EXECUTE'
               AND grantee NOT IN (current_user, 'PUBLIC')
    LOOP
        EXECUTE format('GRANT EXECUTE ON FUNCTION pelmo4rix.newest_good_version TO %I', r.grantee);
    END LOOP;
END $$;
