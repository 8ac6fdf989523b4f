-- The ledger's station role: the stations may add rows to the ledger and read
-- it, nothing else (no update, no delete). Run it once, as the owner of the
-- ledger's database, after `qrb-flash ledger init` has made the schema:
--
--   psql -d qrb_ledger -f /usr/share/qrb-flash/qrb-ledger-station-role.sql
--   psql -d qrb_ledger -c "ALTER ROLE qrb_station PASSWORD 'choose one'"
--
-- Each station then connects as qrb_station (its password in ~/.pgpass or
-- PGPASSFILE, never in the URL of a script).

DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'qrb_station') THEN
        CREATE ROLE qrb_station LOGIN;
    END IF;
    -- TEMPORARY: each batch is copied into a table of the session's own first.
    EXECUTE format('GRANT CONNECT, TEMPORARY ON DATABASE %I TO qrb_station', current_database());
END
$$;

REVOKE ALL ON attempts, ledger_schema FROM qrb_station;
GRANT USAGE ON SCHEMA public TO qrb_station;
-- INSERT ... ON CONFLICT DO NOTHING, the stations' only write, needs INSERT alone.
GRANT INSERT, SELECT ON attempts TO qrb_station;
GRANT SELECT ON ledger_schema TO qrb_station;
