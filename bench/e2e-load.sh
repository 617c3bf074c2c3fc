#!/usr/bin/env bash
# The whole road under load: a database seeded with a fleet, a messaging server of its own
# (nats-server on a private loopback port and corvex-relay), the management service and
# simulated agents (each enrolled with its own key) offering unsolicited status replies, then
# virus events, at rising rates.
# Per step it reports what was offered and what the service applied per second (applied counted
# by the service's own metrics), the latency from the agent's send to the stored row (p50, p99), the
# service's CPU and resident memory, and where the CPU went (the service's processing thread,
# its other threads, the database server's backends, nats-server, corvex-relay, the simulator).
# Beside each step, the database-alone limit measured on the same database in the same run
# (bench/db-limit.sh: the same rows stored with one multi-row statement and one flush per
# batch) and applied/limit.
# The table goes to standard output and to $OUT/e2e-load.txt, the plot of applied against
# offered to $OUT/e2e-load.png (gnuplot).
#
# Settings (environment): BUILD (build folder, default ./build), COMPUTERS (fleet sizes, default
# "10000 100000"), AGENTS (simulated computers among them, default 200), SIMULATORS (simulator
# processes the agents are shared among, default 4: each sends one letter at a time and waits for
# the server's acknowledgement, which caps what one process offers), STEP_SECONDS (default
# 15), STATUS_RATES and EVENT_RATES (offered per second in total, rising), OUT (default
# ./bench-results), DATABASE_PREFIX (the scratch databases' names before "_N", default
# corvex_load), SETWISE (0: the service applies status replies one at a time, as before the
# set-wise road; default 1). Needs PostgreSQL running (scripts/start-postgres.sh) and a role that may
# create databases and read the server's statistics.
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h | --help) awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0"; exit 0 ;;
  *) echo "e2e-load: no arguments are taken, settings come from the environment (see --help)" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/registry-base.sh"
. "$root/scripts/messaging-base.sh"
BUILD=${BUILD:-$root/build}
COMPUTERS=${COMPUTERS:-"10000 100000"}
AGENTS=${AGENTS:-200}
SIMULATORS=${SIMULATORS:-4}
STEP_SECONDS=${STEP_SECONDS:-15}
STATUS_RATES=${STATUS_RATES:-"500 1000 2000 3000 4000"}
EVENT_RATES=${EVENT_RATES:-"1000 2500 5000 7500 10000"}
OUT=${OUT:-$root/bench-results}

bin() { find "$BUILD" -type f -name "$1" -perm -u+x | head -1; }
relay=$(bin corvex-relay)
nats=$(bin corvex-nats)
service=$(bin rudadiz)
agentsim=$(bin corvex-agent-sim)
db=$(bin corvex-db)
nats_server=${CORVEX_NATS_SERVER:-$(command -v nats-server || echo /usr/sbin/nats-server)}
for b in relay nats service agentsim db; do
  [ -n "${!b}" ] || { echo "e2e-load: $b not built in $BUILD (cmake --build $BUILD)" >&2; exit 2; }
done
command -v psql >/dev/null || { echo "e2e-load: psql is missing (apt-get install postgresql-client)" >&2; exit 2; }
[ -x "$nats_server" ] || { echo "e2e-load: nats-server is missing (apt-get install nats-server)" >&2; exit 2; }

mkdir -p "$OUT"
work=$(mktemp -d /tmp/corvex-e2e-load.XXXXXX)
export CORVEX_REGISTRY=$work/registry.reg
database=
pids=()
cleanup() {
  # The relay's supervisor first, so that it does not start the relay again.
  touch "$work/stop"
  [ -f "$work/relay.pid" ] && pids+=("$(cat "$work/relay.pid")")
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  # A service stopping applies what it still has queued; after a saturated step that backlog
  # would take minutes, so whatever has not stopped within 10 seconds is killed.
  local p i
  for p in "${pids[@]}"; do
    for i in $(seq 1 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  pids=()
  rm -f "$work/relay.pid"
  [ -z "$database" ] || "$db" drop --force "$database" >/dev/null 2>&1 || true
}
trap 'cleanup; rm -rf "$work"' EXIT

hz=$(getconf CLK_TCK)
sql() { psql -X -q -At -d "$database" -c "$1"; }
# CPU ticks of processes (user + system), of all their threads.
ticks() { local t=0 p; for p in "$@"; do [ -r /proc/$p/stat ] && t=$((t + $(awk '{print $14 + $15}' /proc/$p/stat))); done; echo $t; }
thread_ticks() { awk '{print $14 + $15}' "/proc/$1/task/$2/stat" 2>/dev/null || echo 0; }
backend_pids() { sql "SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND application_name = 'corvex'"; }
rss_mb() { awk '/VmRSS/ {printf "%.0f", $2 / 1024}' "/proc/$1/status"; }

table=$OUT/e2e-load.txt
data=$OUT/e2e-load.dat
printf '%-9s %-7s %9s %9s %8s %8s %6s %6s %9s %8s %6s  %s\n' computers kind offered/s applied/s p50_ms p99_ms cpu% rss_MB calls/msg \
  limit/s ratio \
  "cpu split: processing / other service threads / database / nats-server / relay / simulator (% of one core)" | tee "$table"
: >"$data"

start_road() {
  local n=$1
  database=${DATABASE_PREFIX:-corvex_load}_$n
  "$db" drop --force "$database" >/dev/null 2>&1 || true
  "$db" -q create "$database"
  echo "seeding $n computers ..." >&2
  "$db" seed --computers "$n" --alerts $((n * 2)) "$database" >"$work/seed.log"
  sql "ALTER DATABASE \"$database\" SET track_functions = 'pl'"
  # Per-statement times where the server preloads pg_stat_statements (shared_preload_libraries);
  # without it the step reports none.
  statements=0
  if sql "SHOW shared_preload_libraries" | grep -q pg_stat_statements &&
     sql "CREATE EXTENSION IF NOT EXISTS pg_stat_statements" >/dev/null 2>&1; then
    # Statements inside the procedures too.
    sql "ALTER DATABASE \"$database\" SET pg_stat_statements.track = 'all'"
    statements=1
  fi
  # The latency probe's own tables: what the simulated computers last reported, and each send
  # time with the moment its row was seen stored.
  sql "CREATE SCHEMA bench;
       CREATE TABLE bench.sim (id integer PRIMARY KEY, last text);
       CREATE TABLE bench.seen (kind text, sent_ms bigint, seen timestamptz);
       CREATE TABLE bench.state (last_alert integer);
       INSERT INTO bench.state SELECT coalesce(max(\"AlertID\"), 0) FROM dbo.\"Alerts\";
       INSERT INTO bench.sim (id) SELECT \"ComputerID\" FROM dbo.\"Computers\"
         WHERE \"MessageSystemAddress\" IS NOT NULL ORDER BY \"ComputerID\" % ($n / $AGENTS), \"ComputerID\" LIMIT $AGENTS"
  sql "SELECT c.\"ComputerName\" || ';' || c.\"DomainName\" || ';' || c.\"MessageSystemAddress\"
         FROM bench.sim s JOIN dbo.\"Computers\" c ON c.\"ComputerID\" = s.id" >"$work/computers.txt"
  rm -f "$work"/computers.part.*
  split -n "l/$SIMULATORS" -d "$work/computers.txt" "$work/computers.part."

  corvex_registry_base . "$database" "$work" "$(id -gn)" >"$CORVEX_REGISTRY"
  # The service's own counters say what it applied: the set-wise road stores most messages
  # without the procedures a call count would see.
  metrics_port=$(corvex_free_port)
  printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]\n"MetricsAddress"="127.0.0.1"\n"MetricsPort"=dword:%08x\n' \
    "$metrics_port" >>"$CORVEX_REGISTRY"
  if [ "${SETWISE:-1}" = 0 ]; then
    printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]\n"ProcessingPassSetWise"=dword:00000000\n' \
      >>"$CORVEX_REGISTRY"
  fi
  # A fresh messaging location per road: the service and the simulated computers, enrolled at once.
  local port
  port=$(corvex_free_port)
  corvex_messaging_init "$nats" "$work/messaging" "$port"
  cut -d';' -f3 "$work/computers.txt" | sed 's/$/.Agent/' |
    "$nats" enrol "$work/messaging" PTLManagementService --from - >/dev/null
  # Its monitoring port (loopback) lets the harness watch the service's stream: what waits in it
  # and how many letters the service holds unconfirmed.
  monitor_port=$(corvex_free_port)
  "$nats_server" -c "$work/messaging/nats-server.conf" -m "$monitor_port" >"$work/nats-server.log" 2>&1 &
  nats_pid=$!
  pids+=($nats_pid)
  corvex_wait_listening "$port" || { echo "e2e-load: nats-server did not start, see $work/nats-server.log" >&2; exit 1; }
  # Each second: the time, the letters delivered to the service and not confirmed yet, and those
  # waiting in the stream behind them.
  : >"$work/window.log"
  while kill -0 "$nats_pid" 2>/dev/null; do
    curl -fsS --max-time 2 "http://127.0.0.1:$monitor_port/jsz?consumers=true" 2>/dev/null | tr ',{}' '\n\n\n' |
      awk -v t="$(date +%s.%N)" -F: '/"stream_name"/ {s = $2} s ~ /CVX_INBOX/ && /"num_ack_pending"/ {a = $2}
                                     s ~ /CVX_INBOX/ && /"num_pending"/ {p = $2} END {if (a != "") print t, a, p + 0}' >>"$work/window.log"
    sleep 1
  done &
  pids+=($!)
  # Logons and logoffs only (level 2): the harness counts the logons. A relay that finds its
  # lease lost (frozen for 3 s on an overloaded machine) stops, and its service manager would
  # start it again: so does this loop.
  rm -f "$work/stop" "$work/relay.pid"
  : >"$work/relay.log"
  (
    while [ ! -f "$work/stop" ]; do
      "$relay" --messaging "$work/messaging" --log-level 2 >>"$work/relay.log" 2>&1 &
      echo $! >"$work/relay.pid"
      wait $! || true
      [ -f "$work/stop" ] || { echo "relay ended, started again" >>"$work/relay.log"; sleep 1; }
    done
  ) 2>/dev/null &
  pids+=($!)
  for _ in $(seq 1 50); do grep -q " active on " "$work/relay.log" 2>/dev/null && break; sleep 0.2; done
  "$service" -RegServer >/dev/null
  # Errors only: a trace line per envelope would be part of what is measured.
  CORVEX_TRACE_LEVEL=0 CORVEX_TRACE_FILE="$work/service.log" "$service" >"$work/service.out" 2>&1 &
  service_pid=$!
  pids+=($service_pid)
  # The processing thread starts just before the service connects to the messaging server.
  processing_tid=
  for _ in $(seq 1 150); do
    for t in /proc/$service_pid/task/*; do
      [ "$(cat "$t/comm" 2>/dev/null)" = processing ] && processing_tid=${t##*/}
    done
    [ -n "$processing_tid" ] && break
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.2
  done
  [ -n "$processing_tid" ] || { echo "e2e-load: the service did not start, see $work/service.log" >&2; exit 1; }
  sleep 2
  # The database alone, on the same fleet, while the service is idle.
  echo "measuring the database-alone limit ..." >&2
  local limits
  limits=$("$root/bench/db-limit.sh" "$database")
  status_limit=$(awk '$1 == "status" {print $2}' <<<"$limits")
  event_limit=$(awk '$1 == "event" {print $2}' <<<"$limits")
  echo "  (database alone: $status_limit status rows/s, $event_limit alert rows/s)" >&2

  # Every 50 ms: new alerts, and new comments of the simulated computers, with their send times.
  # The probe must see a change within its 50 ms: without the planner's JIT (which the
  # unanalysed bench tables' estimates set off, about 0.5-1 s of compiling each round).
  psql -X -q -d "$database" >/dev/null 2>&1 <<'PROBE' &
SET jit = off;
WITH n AS (SELECT a."AlertID", a."InfectedItem" FROM dbo."Alerts" a, bench.state s WHERE a."AlertID" > s.last_alert),
     u AS (UPDATE bench.state SET last_alert = (SELECT max("AlertID") FROM n) WHERE EXISTS (SELECT 1 FROM n)),
     ch AS (SELECT s.id, c."Description" AS d FROM bench.sim s JOIN dbo."Computers" c ON c."ComputerID" = s.id
             WHERE c."Description" LIKE 'sent %' AND c."Description" IS DISTINCT FROM s.last),
     v AS (UPDATE bench.sim s SET last = ch.d FROM ch WHERE s.id = ch.id)
INSERT INTO bench.seen
SELECT 'event', substring("InfectedItem" from 'sent ([0-9]+)')::bigint, clock_timestamp() FROM n WHERE "InfectedItem" LIKE '%sent %'
UNION ALL
SELECT 'status', substring(d from 'sent ([0-9]+)')::bigint, clock_timestamp() FROM ch
\watch 0.05
PROBE
  probe_pid=$!
  pids+=($probe_pid)
}

stop_road() {
  cleanup
}

calls() { sql "SELECT coalesce(sum(calls), 0) FROM pg_stat_user_functions WHERE funcname = '$1'"; }
# Messages of a kind the service applied so far (its metrics endpoint, types matching $1).
applied_count() {
  curl -fsS --max-time 5 "http://127.0.0.1:$metrics_port/metrics" |
    awk -v re="$1" '/^corvex_envelopes_applied_total\{/ && $0 ~ re {n += $NF} END {printf "%.0f\n", n}'
}
# Procedure calls the service made (the procedures' names are capitalised, their helpers' not).
all_calls() { sql "SELECT coalesce(sum(calls), 0) FROM pg_stat_user_functions WHERE funcname ~ '^[A-Z]'"; }

step() {
  local n=$1 kind=$2 total=$3
  local per_agent
  per_agent=$(awk -v t="$total" -v a="$AGENTS" 'BEGIN {printf "%.4f", t / a}')
  local rate_option=--status-rate function=Status
  [ "$kind" = event ] && rate_option=--event-rate function=EntityEvent
  local ts logons
  logons=$(grep -c " logged on" "$work/relay.log" || true)
  ts=$(date +%s.%N)
  local sims=() part
  rm -f "$work"/sim.*.log
  for part in "$work"/computers.part.*; do
    [ -s "$part" ] || continue
    "$agentsim" --messaging "$work/messaging" --computers "$part" --service PTLManagementService \
      --event-kind virus --stamp-sent --heartbeat 30 "$rate_option" "$per_agent" </dev/null >"$work/sim.${part##*.}.log" 2>&1 &
    sims+=($!)
    pids+=($!)
  done
  # The agents log on (the relay logs each logon), and the service records their logons.
  for _ in $(seq 1 300); do
    [ "$(grep -c " logged on" "$work/relay.log" || true)" -ge $((logons + AGENTS)) ] && break
    sleep 0.1
  done
  echo "  ($AGENTS agents logged on in $(awk -v a="$ts" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}') s)" >&2
  sleep 1
  local t0 s0 p0 b0 n0 r0 a0 q0 c0 backends
  backends=$(backend_pids | tr '\n' ' ')
  a0=$(applied_count "$function")
  c0=$(all_calls)
  t0=$(date +%s.%N)
  s0=$(ticks "$service_pid"); p0=$(thread_ticks "$service_pid" "$processing_tid"); b0=$(ticks $backends)
  relay_pid=$(cat "$work/relay.pid")
  n0=$(ticks "$nats_pid"); r0=$(ticks "$relay_pid"); q0=$(ticks "${sims[@]}")
  sql "DELETE FROM bench.seen"
  [ "$statements" = 1 ] && sql "SELECT pg_stat_statements_reset()" >/dev/null
  sleep "$STEP_SECONDS"
  local t1 s1 p1 b1 n1 r1 q1 a1 c1 rss
  s1=$(ticks "$service_pid"); p1=$(thread_ticks "$service_pid" "$processing_tid"); b1=$(ticks $backends)
  n1=$(ticks "$nats_pid"); r1=$(ticks "$relay_pid"); q1=$(ticks "${sims[@]}")
  [ "$(cat "$work/relay.pid")" = "$relay_pid" ] || { r1=$r0; echo "  (the relay ended during the step and was started again; its CPU is not counted)" >&2; }
  t1=$(date +%s.%N)
  rss=$(rss_mb "$service_pid")
  a1=$(applied_count "$function")
  c1=$(all_calls)
  local sim
  for sim in "${sims[@]}"; do kill -TERM "$sim" 2>/dev/null || true; done
  for sim in "${sims[@]}"; do wait "$sim" 2>/dev/null || true; done
  local elapsed latency offered
  elapsed=$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')
  latency=$(sql "SELECT coalesce(round((percentile_cont(0.5) WITHIN GROUP (ORDER BY l))::numeric, 0)::text, '-') || ' ' ||
                        coalesce(round((percentile_cont(0.99) WITHIN GROUP (ORDER BY l))::numeric, 0)::text, '-')
                   FROM (SELECT extract(epoch FROM seen) * 1000 - sent_ms AS l FROM bench.seen WHERE kind = '$kind') x")
  # Offered: the sends the server accepted within the measured time, by their stamps (the agents
  # log on one by one before it, sending as they come).
  offered=$(cat "$work"/sim.*.log | grep -oE "^[^ ]+ -> Tz-[A-Za-z-]+ \([^)]*sent [0-9]+\) to [^,]*, id [1-9][0-9]*$" |
    sed -E 's/.*sent ([0-9]+)\).*/\1/' | awk -v a="$t0" -v b="$t1" '$1 >= a * 1000 && $1 < b * 1000 {n++} END {print n + 0}')
  local limit=$status_limit
  [ "$kind" = event ] && limit=$event_limit
  awk -v n="$n" -v kind="$kind" -v total="$total" -v limit="${limit:-0}" -v offered="${offered:-}" -v applied=$((a1 - a0)) -v el="$elapsed" -v allcalls=$((c1 - c0)) \
      -v lat="$latency" -v s=$((s1 - s0)) -v p=$((p1 - p0)) -v b=$((b1 - b0)) -v ns=$((n1 - n0)) -v r=$((r1 - r0)) -v q=$((q1 - q0)) \
      -v hz="$hz" -v rss="$rss" -v steps="$STEP_SECONDS" -v data="$data" 'BEGIN {
    split(lat, l, " ")
    off = offered / el
    app = applied / el
    printf "%-9d %-7s %9.0f %9.0f %8s %8s %6.0f %6s %9.1f %8.0f %6.2f  %3.0f / %3.0f / %3.0f / %3.0f / %3.0f / %3.0f\n", n, kind, off, app, l[1], l[2],
      100 * s / hz / el, rss, (applied > 0 ? allcalls / applied : 0), limit, (limit > 0 ? app / limit : 0), 100 * p / hz / el, 100 * (s - p) / hz / el, 100 * b / hz / el,
      100 * ns / hz / el, 100 * r / hz / el, 100 * q / hz / el
    printf "%d %s %.0f %.0f\n", n, kind, off, app >> data
  }' | tee -a "$table"
  # A step the service could not keep up with shows why: its unconfirmed letters at the limit
  # the relay gives its consumer means the service is the bound; the limit not reached with a
  # backlog in the stream means delivery is.
  awk -v a="$t0" -v b="$t1" '$1 >= a && $1 < b {n++; if ($2 + 0 >= 4096) full++; if ($3 + 0 > backlog) backlog = $3 + 0; if ($3 + 0 > 0 && $2 + 0 < 4096) starved++}
    END {if (n) printf "  (service stream: %d samples, unconfirmed at the limit in %d, backlog up to %d, backlog below the limit in %d)\n", n, full, backlog, starved}' \
    "$work/window.log" | tee -a "$table"
  # The statements that took the database's time in the step (the probe and the harness left out).
  if [ "$statements" = 1 ]; then
    sql "SELECT '    ' || lpad(round(total_exec_time)::text, 7) || ' ms ' || lpad(calls::text, 8) || ' calls '
                || lpad(round((total_exec_time / greatest(calls, 1))::numeric, 3)::text, 8) || ' ms/call  '
                || CASE WHEN toplevel THEN 'call ' ELSE 'in   ' END || left(regexp_replace(query, '\s+', ' ', 'g'), 90)
           FROM pg_stat_statements s JOIN pg_database d ON d.oid = s.dbid
          WHERE d.datname = current_database() AND query !~* 'bench\.|pg_stat' AND toplevel IS NOT DISTINCT FROM false
          ORDER BY total_exec_time DESC LIMIT 8" | tee -a "$table"
  fi
  # What is still queued belongs to this step: the next one starts once it is applied. A
  # backlog that is not applied within the wait would only slow the next steps down: the step
  # then fails, and higher rates of the kind are not offered.
  local before after=-1
  for _ in $(seq 1 "${DRAIN_CHECKS:-40}"); do
    before=$after
    sleep 1.5
    after=$(applied_count "$function")
    if [ "$after" = "$before" ]; then return 0; fi
  done
  echo "  (the $kind backlog of this step was still being applied after the wait: higher $kind rates skipped)" | tee -a "$table"
  return 1
}

# How the computer table took the status updates: heap-only updates need no index entries.
table_report() {
  sql "SELECT 'computer table: ' || n_tup_upd || ' row updates, ' || n_tup_hot_upd || ' heap-only ('
              || round(100.0 * n_tup_hot_upd / greatest(n_tup_upd, 1)) || '%), size '
              || pg_size_pretty(pg_total_relation_size(relid))
         FROM pg_stat_user_tables WHERE schemaname = 'dbo' AND relname = 'Computers'" | tee -a "$table"
}

for n in $COMPUTERS; do
  start_road "$n"
  saturated=
  for rate in $STATUS_RATES; do step "$n" status "$rate" || { saturated=1; break; }; done
  table_report
  if [ -n "$saturated" ]; then
    # The events would queue behind the status backlog: they start on a fresh road.
    stop_road
    start_road "$n"
  fi
  for rate in $EVENT_RATES; do step "$n" event "$rate" || break; done
  stop_road
done

if command -v gnuplot >/dev/null; then
  {
    echo "set terminal png size 900,600; set output '$OUT/e2e-load.png'"
    echo "set title 'Applied against offered load'; set xlabel 'offered per second'; set ylabel 'applied per second'"
    echo "set key left top; set grid"
    printf "plot x title 'offered' with lines dashtype 2"
    for n in $COMPUTERS; do
      for kind in status event; do
        printf ", '%s' using (\$1 == %s && strcol(2) eq '%s' ? \$3 : 1/0):4 title '%s, %s computers' with linespoints" \
          "$data" "$n" "$kind" "$kind" "$n"
      done
    done
    echo
  } | gnuplot && echo "plot: $OUT/e2e-load.png"
else
  echo "e2e-load: gnuplot is not installed (apt-get install gnuplot-nox): no plot, the table is in $table" >&2
fi
echo "table: $table"
