#!/usr/bin/env bash
# Fault trial: does a virus alert survive the death of any process? On a built tree, with a
# PostgreSQL cluster, a messaging server (nats-server and corvex-relay), the service and
# simulated agents of its own (all in a temporary folder, traffic on a local socket and a
# private loopback port only), it seeds the computers, lets agents send virus events at a
# steady rate, and meanwhile kills the service with SIGKILL three times, stops the database for
# 10 s (the service then ends with 9999), kills nats-server with SIGKILL (restarted 3 s later on
# the same directory: JetStream keeps what it acknowledged) and kills corvex-relay with SIGKILL;
# a supervisor restarts them as systemd would. The agents also send status replies stamped with
# their send time, and each virus event carries its own ("sent <ms>" in the infected item). At
# the end it compares every virus event the messaging server accepted (the agents print each
# one's stamp and stream sequence) with the alerts stored, and each computer's last accepted
# status with the one stored, and prints faults, events sent, alerts stored, lost, duplicated
# (one event stored twice), stored unacknowledged (events whose acceptance a fault hid from the
# agent, stored all the same: neither lost nor duplicated), unkeyed (alerts of accepted events
# stored without a record of their letter's delivery key, so without a guard against a second
# delivery), stale statuses and the time to recover from each fault: until the killed process
# is back and the service has stored a new alert since.
#   bash bench/fault-trial.sh            TRIAL_AGENTS (20), TRIAL_RATE (events/s per agent, 2),
#                                        TRIAL_STATUS_RATE (status replies/s per agent, 0.2),
#                                        TRIAL_COMPUTERS (10000), TRIAL_SECONDS (60),
#                                        TRIAL_KEEP (set: keep the folder, logs and database files)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/registry-base.sh"
. "$top/scripts/messaging-base.sh"
build=${CORVEX_BUILD_DIR:-$top/build}
agents=${TRIAL_AGENTS:-20}
rate=${TRIAL_RATE:-2}
status_rate=${TRIAL_STATUS_RATE:-0.2}
computers=${TRIAL_COMPUTERS:-10000}
seconds=${TRIAL_SECONDS:-60}
[ "$(id -u)" -eq 0 ] || { echo "fault-trial: runs as root (it starts a PostgreSQL cluster as postgres)" >&2; exit 2; }

bin() { find "$build" -type f -name "$1" -perm -u+x | head -1; }
relay=$(bin corvex-relay); nats=$(bin corvex-nats); service=$(bin rudadiz); agentsim=$(bin corvex-agent-sim); db=$(bin corvex-db)
nats_server=${CORVEX_NATS_SERVER:-$(command -v nats-server || echo /usr/sbin/nats-server)}
pgbin=/usr/lib/postgresql/$(ls /usr/lib/postgresql | sort -n | tail -1)/bin
work=$(mktemp -d /tmp/corvex-trial-XXXXXX)
chmod 755 "$work"
port=$((20000 + RANDOM % 20000))
pg() { runuser -u postgres -- "$pgbin/$@"; }
sql() { psql -h "$work/pgsock" -p "$port" -d corvex_trial -tAq -c "$1"; }
now() { date +%s.%N; }

pids=()
cleanup() {
  touch "$work/stop"
  for f in service relay nats; do [ -f "$work/$f.pid" ] && kill -KILL "$(cat "$work/$f.pid")" 2>/dev/null || true; done
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pg pg_ctl -D "$work/pgdata" -m immediate stop >/dev/null 2>&1 || true
  if [ -n "${TRIAL_KEEP:-}" ]; then echo "fault-trial: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

echo "== database cluster on $work/pgsock:$port"
mkdir -p "$work/pgdata" "$work/pgsock" && chown postgres "$work/pgdata" "$work/pgsock"
pg initdb -D "$work/pgdata" -A trust -U postgres >/dev/null
start_db() { pg pg_ctl -D "$work/pgdata" -l "$work/pgsock/pg.log" -w -o "-p $port -k $work/pgsock -c listen_addresses=''" start >/dev/null; }
start_db
psql -h "$work/pgsock" -p "$port" -U postgres -d postgres -qc "CREATE ROLE $(id -un) SUPERUSER LOGIN" >/dev/null
export PGPORT=$port  # libpq's port for every socket connection below, the service's included
"$db" --server "$work/pgsock" create corvex_trial >/dev/null
sql "SELECT count(*) FROM (SELECT (dbo.\"AddComputer\"('SEED' || i, 'CORP', 8, '')).* FROM generate_series(1, $computers) i) s" >/dev/null
echo "   $(sql 'SELECT count(*) FROM dbo."Computers"') computers seeded"

export CORVEX_REGISTRY=$work/registry.reg
corvex_registry_base "$work/pgsock" corvex_trial "$work" root > "$CORVEX_REGISTRY"
"$service" -RegServer >/dev/null

nats_port=$(corvex_free_port)
echo "== messaging server on 127.0.0.1:$nats_port, configuration in $work/messaging"
corvex_messaging_init "$nats" "$work/messaging" "$nats_port" --ping-interval 2 --ping-max 2
trial_agents=()
for i in $(seq 1 "$agents"); do trial_agents+=("TRIAL$i.Agent"); done
"$nats" enrol "$work/messaging" PTLManagementService "${trial_agents[@]}" >/dev/null

# Supervisors: start again whatever ends, as the service manager would, after DELAY seconds.
supervise() {
  local name=$1 delay=$2; shift 2
  while [ ! -f "$work/stop" ]; do
    "$@" >>"$work/$name.out" 2>&1 &
    echo $! >"$work/$name.pid"
    wait $! || true
    [ -f "$work/stop" ] || sleep "$delay"
  done
}
# (standard error: the shell's notices of the kills)
supervise nats 3 "$nats_server" -c "$work/messaging/nats-server.conf" 2>/dev/null &
pids+=($!)
corvex_wait_listening "$nats_port" || { echo "fault-trial: nats-server did not start, see $work/nats.out" >&2; exit 1; }
supervise relay 1 "$relay" --messaging "$work/messaging" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 50); do grep -q " active on " "$work/relay.out" 2>/dev/null && break; sleep 0.2; done
CORVEX_TRACE_LEVEL=2 CORVEX_TRACE_FILE="$work/service.log" supervise service 1 "$service" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 100); do grep -q "logged on to" "$work/service.log" 2>/dev/null && break; sleep 0.2; done

echo "== $agents agents sending $rate virus events and $status_rate status replies a second each for $seconds s"
"$agentsim" --messaging "$work/messaging" --agents "$agents" --prefix TRIAL --event-rate "$rate" \
  --event-kind virus --status-rate "$status_rate" --stamp-sent >"$work/agents.log" 2>&1 </dev/null &
agentpid=$!
pids+=($agentpid)

connects() { grep -c "Connect done" "$work/service.log" 2>/dev/null || echo 0; }
applied() { sql 'SELECT count(*) FROM dbo."AppliedEnvelopes"' 2>/dev/null || echo -1; }
relay_starts() { grep -c " active on " "$work/relay.out" 2>/dev/null || true; }
# Recovery: from the fault until the process is back (when a check for it is given) and the
# service has stored a new alert since.
recover() {
  local started=$1 back=${2:-true} before
  for _ in $(seq 1 600); do $back && break; sleep 0.1; done
  before=$(applied)
  for _ in $(seq 1 600); do
    local n; n=$(applied)
    if [ "$n" -gt "$before" ] 2>/dev/null; then
      awk -v a="$(now)" -v b="$started" 'BEGIN { printf "%.1f", a - b }'
      return
    fi
    sleep 0.1
  done
  echo "over 60"
}
faults=()
fault() { echo "   $1: recovered in $2 s"; faults+=("$1|$2"); }
pause() { sleep "$(( (RANDOM % 5) + ${1:-3} ))"; }

pause 5
for i in 1 2 3; do
  t=$(now); kill -KILL "$(cat "$work/service.pid")"
  fault "service killed ($i)" "$(recover "$t")"
  pause
done
t=$(now); pg pg_ctl -D "$work/pgdata" -m fast stop >/dev/null; sleep 10; start_db
fault "database stopped 10 s" "$(recover "$t")"
pause
# The server is back when it listens again; its clients reconnect by themselves.
server_back() { corvex_wait_listening "$nats_port" 1; }
t=$(now); kill -KILL "$(cat "$work/nats.pid")"
fault "nats-server killed" "$(recover "$t" server_back)"
pause
relays=$(relay_starts)
relay_back() { [ "$(relay_starts)" -gt "$relays" ]; }
t=$(now); kill -KILL "$(cat "$work/relay.pid")"
fault "corvex-relay killed" "$(recover "$t" relay_back)"
remaining=$((seconds - SECONDS))
[ "$remaining" -gt 0 ] && sleep "$remaining"

echo "== stopping the agents, letting the service drain"
kill -TERM "$agentpid" 2>/dev/null || true
wait "$agentpid" 2>/dev/null || true
for _ in $(seq 1 60); do
  a=$(applied); sleep 2; [ "$(applied)" = "$a" ] && break
done

# Every virus event sent: computer, send stamp, stream sequence (0 when the agent saw the send
# fail).
grep -oE '^TRIAL[0-9]*\.Agent -> Tz-EntityEvent \(virus[^)]*, sent [0-9]+\) to [^,]*, id [0-9]+' "$work/agents.log" |
  sed -E 's/^([^.]*)\.Agent .*, sent ([0-9]+)\).* id ([0-9]+)$/\1,\2,\3/' | sort -u >"$work/sent.csv"
# Every status reply sent: computer, send stamp, sequence (0 when the agent saw the send fail).
grep -oE '^TRIAL[0-9]*\.Agent -> Tz-GetStatus-Reply \(sent [0-9]+\) to [^,]*, id [0-9]+' "$work/agents.log" |
  sed -E 's/^([^.]*)\.Agent .*\(sent ([0-9]+)\).* id ([0-9]+)$/\1,\2,\3/' >"$work/statuses.csv"
psql -h "$work/pgsock" -p "$port" -d corvex_trial -tAq -v ON_ERROR_STOP=1 >"$work/counts" <<SQL
CREATE TEMP TABLE sent(computer text, ms bigint, id bigint);
\copy sent FROM '$work/sent.csv' WITH (FORMAT csv)
CREATE TEMP TABLE alerts AS
SELECT c."ComputerName" AS computer, substring(a."InfectedItem" from 'sent ([0-9]+)$')::bigint AS ms
  FROM dbo."Alerts" a JOIN dbo."Computers" c USING ("ComputerID")
 WHERE c."ComputerName" LIKE 'TRIAL%' AND a."AlertType" = 2;
-- A record's delivery key is "<stream>/<the stream's creation>/<sequence>".
CREATE TEMP TABLE applied AS
SELECT split_part("DeliveryKey", '/', 2) AS epoch, split_part("DeliveryKey", '/', 3)::bigint AS seq
  FROM dbo."AppliedEnvelopes" WHERE "DeliveryKey" LIKE 'CVX_INBOX/%';
SELECT count(*) FROM sent WHERE id > 0;
SELECT count(*) FROM alerts;
-- Lost: accepted events without an alert.
SELECT count(*) FROM sent s WHERE id > 0 AND NOT EXISTS (SELECT 1 FROM alerts a WHERE a.computer = s.computer AND a.ms = s.ms);
-- Duplicated: alerts beyond the first of each event.
SELECT count(*) - count(DISTINCT (computer, ms)) FROM alerts;
-- Stored unacknowledged: events stored whose acceptance their agent did not see.
SELECT count(*) FROM (SELECT DISTINCT computer, ms FROM alerts) a
 WHERE NOT EXISTS (SELECT 1 FROM sent s WHERE s.id > 0 AND s.computer = a.computer AND s.ms = a.ms);
-- Unkeyed: accepted events stored whose letter has no record.
SELECT count(*) FROM sent s WHERE id > 0
   AND EXISTS (SELECT 1 FROM alerts a WHERE a.computer = s.computer AND a.ms = s.ms)
   AND NOT EXISTS (SELECT 1 FROM applied p WHERE p.seq = s.id);
-- One inbox stream throughout, so that a sequence names one letter.
SELECT count(DISTINCT epoch) FROM applied WHERE epoch <> '';
CREATE TEMP TABLE statuses(computer text, ms bigint, id integer);
\copy statuses FROM '$work/statuses.csv' WITH (FORMAT csv)
CREATE TEMP TABLE last_status AS
SELECT s.computer, max(s.ms) FILTER (WHERE s.id > 0) AS accepted,
       (SELECT substring(c."Description" from '^sent ([0-9]+)$')::bigint FROM dbo."Computers" c
         WHERE c."ComputerName" = s.computer) AS stored
  FROM statuses s GROUP BY s.computer;
SELECT count(*) FROM last_status WHERE accepted IS NOT NULL;
-- Stale: the stored status is not the last one the messaging server accepted (a later send whose
-- acceptance the agent could not see, because a fault cut the answer off, may stand instead).
SELECT count(*) FROM last_status l WHERE accepted IS NOT NULL AND stored IS DISTINCT FROM accepted
   AND NOT EXISTS (SELECT 1 FROM statuses s WHERE s.computer = l.computer AND s.id = 0 AND s.ms = l.stored AND s.ms > l.accepted);
SQL
mapfile -t c <"$work/counts"
sent=${c[0]}; stored=${c[1]}; lost=${c[2]}; duplicated=${c[3]}; unacked=${c[4]}; unkeyed=${c[5]}; epochs=${c[6]}
status_computers=${c[7]}; stale=${c[8]}

echo
printf '%-26s %s\n' "fault" "time to recover (s)"
for f in "${faults[@]}"; do printf '%-26s %s\n' "${f%%|*}" "${f##*|}"; done
echo
printf '%-7s %-12s %-14s %-5s %-11s %-15s %-8s %-17s %s\n' faults "events sent" "alerts stored" lost duplicated "stored unacked" unkeyed "status computers" "stale last status"
printf '%-7s %-12s %-14s %-5s %-11s %-15s %-8s %-17s %s\n' "${#faults[@]}" "$sent" "$stored" "$lost" "$duplicated" "$unacked" "$unkeyed" "$status_computers" "$stale"
[ "$unkeyed" -eq 0 ] || echo "fault-trial: $unkeyed alerts were stored without a record of their letter: a second delivery of those would have stored them twice" >&2
[ "$epochs" -le 1 ] || echo "fault-trial: the inbox stream was made again during the trial ($epochs streams): sequences are ambiguous" >&2
[ "$lost" -eq 0 ] && [ "$duplicated" -eq 0 ] && [ "$stale" -eq 0 ] && [ "$status_computers" -gt 0 ] && [ "$epochs" -le 1 ]
