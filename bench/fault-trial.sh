#!/usr/bin/env bash
# Fault trial: does a virus alert survive the death of any process? On a built tree, with a
# PostgreSQL cluster, router, service and simulated agents of its own (all in a temporary
# folder, traffic on local sockets only), it seeds the computers, lets agents send virus events
# at a steady rate, and meanwhile kills the service with SIGKILL three times, stops the
# database for 10 s (the service then ends with 9999), and kills the router once; a supervisor
# restarts the service and the router as systemd would. The agents also send status replies
# stamped with their send time. At the end it compares every virus event the router accepted
# (the agents print each id) with the alerts stored, and each computer's last accepted status
# with the one stored, and prints faults, events sent, alerts stored, lost, duplicated, stale
# statuses and the time to recover from each fault.
#   bash bench/fault-trial.sh            TRIAL_AGENTS (20), TRIAL_RATE (events/s per agent, 2),
#                                        TRIAL_STATUS_RATE (status replies/s per agent, 0.2),
#                                        TRIAL_COMPUTERS (10000), TRIAL_SECONDS (60)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/registry-base.sh"
build=${CORVEX_BUILD_DIR:-$top/build}
agents=${TRIAL_AGENTS:-20}
rate=${TRIAL_RATE:-2}
status_rate=${TRIAL_STATUS_RATE:-0.2}
computers=${TRIAL_COMPUTERS:-10000}
seconds=${TRIAL_SECONDS:-60}
[ "$(id -u)" -eq 0 ] || { echo "fault-trial: runs as root (it starts a PostgreSQL cluster as postgres)" >&2; exit 2; }

bin() { find "$build" -type f -name "$1" -perm -u+x | head -1; }
router=$(bin corvex-router); service=$(bin rudadiz); agentsim=$(bin corvex-agent-sim); db=$(bin corvex-db)
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
  for f in service router; do [ -f "$work/$f.pid" ] && kill -KILL "$(cat "$work/$f.pid")" 2>/dev/null || true; done
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pg pg_ctl -D "$work/pgdata" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$work"
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

# Supervisors: start again whatever ends, as the service manager would.
supervise() {
  local name=$1; shift
  while [ ! -f "$work/stop" ]; do
    "$@" >>"$work/$name.out" 2>&1 &
    echo $! >"$work/$name.pid"
    wait $! || true
    [ -f "$work/stop" ] || sleep 1
  done
}
supervise router "$router" --socket "$work/router.sock" --data-dir "$work/router" --heartbeat 5 &
pids+=($!)
sleep 1
CORVEX_TRACE_LEVEL=2 CORVEX_TRACE_FILE="$work/service.log" supervise service "$service" &
pids+=($!)
for _ in $(seq 1 100); do grep -q "Connect done" "$work/service.log" 2>/dev/null && break; sleep 0.2; done

echo "== $agents agents sending $rate virus events and $status_rate status replies a second each for $seconds s"
"$agentsim" --router "$work/router.sock" --agents "$agents" --prefix TRIAL --event-rate "$rate" \
  --event-kind virus --status-rate "$status_rate" --stamp-sent >"$work/agents.log" 2>&1 </dev/null &
agentpid=$!
pids+=($agentpid)

connects() { grep -c "Connect done" "$work/service.log" 2>/dev/null || echo 0; }
applied() { sql 'SELECT count(*) FROM dbo."AppliedEnvelopes"' 2>/dev/null || echo -1; }
# Recovery: from the fault until the service has stored a new alert again.
recover() {
  local started=$1 before
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
t=$(now); kill -KILL "$(cat "$work/router.pid")"
fault "router killed" "$(recover "$t")"
remaining=$((seconds - SECONDS))
[ "$remaining" -gt 0 ] && sleep "$remaining"

echo "== stopping the agents, letting the service drain"
kill -TERM "$agentpid" 2>/dev/null || true
wait "$agentpid" 2>/dev/null || true
for _ in $(seq 1 60); do
  a=$(applied); sleep 2; [ "$(applied)" = "$a" ] && break
done

# Every virus event the router accepted, by originator and id, against the alerts stored.
grep -o '^TRIAL[0-9]*\.Agent -> Tz-EntityEvent (virus[^)]*) to [^,]*, id [1-9][0-9]*' "$work/agents.log" |
  sed -E 's/^([^ ]*) .* id ([0-9]+)$/\1,\2/' | sort -u >"$work/sent.csv"
# Every status reply sent: computer, send stamp, router id (0 when the agent saw the send fail).
grep -oE '^TRIAL[0-9]*\.Agent -> Tz-GetStatus-Reply \(sent [0-9]+\) to [^,]*, id [0-9]+' "$work/agents.log" |
  sed -E 's/^([^.]*)\.Agent .*\(sent ([0-9]+)\).* id ([0-9]+)$/\1,\2,\3/' >"$work/statuses.csv"
psql -h "$work/pgsock" -p "$port" -d corvex_trial -tAq >"$work/counts" <<SQL
CREATE TEMP TABLE sent(o text, id integer);
\copy sent FROM '$work/sent.csv' WITH (FORMAT csv)
SELECT count(*) FROM sent;
SELECT count(*) FROM dbo."Alerts" a JOIN dbo."Computers" c USING ("ComputerID")
 WHERE c."ComputerName" LIKE 'TRIAL%' AND a."AlertType" = 2;
SELECT count(*) FROM sent s LEFT JOIN dbo."AppliedEnvelopes" e ON e."Originator" = s.o AND e."MessageID" = s.id
 WHERE e."MessageID" IS NULL;
CREATE TEMP TABLE statuses(computer text, ms bigint, id integer);
\copy statuses FROM '$work/statuses.csv' WITH (FORMAT csv)
CREATE TEMP TABLE last_status AS
SELECT s.computer, max(s.ms) FILTER (WHERE s.id > 0) AS accepted,
       (SELECT substring(c."Description" from '^sent ([0-9]+)$')::bigint FROM dbo."Computers" c
         WHERE c."ComputerName" = s.computer) AS stored
  FROM statuses s GROUP BY s.computer;
SELECT count(*) FROM last_status WHERE accepted IS NOT NULL;
-- Stale: the stored status is not the last one the router accepted (a later send whose
-- acceptance the agent could not see, because a fault cut the answer off, may stand instead).
SELECT count(*) FROM last_status l WHERE accepted IS NOT NULL AND stored IS DISTINCT FROM accepted
   AND NOT EXISTS (SELECT 1 FROM statuses s WHERE s.computer = l.computer AND s.id = 0 AND s.ms = l.stored AND s.ms > l.accepted);
SQL
mapfile -t c <"$work/counts"
sent=${c[0]}; stored=${c[1]}; lost=${c[2]}; status_computers=${c[3]}; stale=${c[4]}
duplicated=$((stored - (sent - lost)))

echo
printf '%-26s %s\n' "fault" "time to recover (s)"
for f in "${faults[@]}"; do printf '%-26s %s\n' "${f%%|*}" "${f##*|}"; done
echo
printf '%-8s %-12s %-14s %-6s %-11s %-18s %s\n' faults "events sent" "alerts stored" lost duplicated "status computers" "stale last status"
printf '%-8s %-12s %-14s %-6s %-11s %-18s %s\n' "${#faults[@]}" "$sent" "$stored" "$lost" "$duplicated" "$status_computers" "$stale"
[ "$lost" -eq 0 ] && [ "$duplicated" -eq 0 ] && [ "$stale" -eq 0 ] && [ "$status_computers" -gt 0 ]
