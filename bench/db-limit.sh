#!/usr/bin/env bash
# What PostgreSQL alone stores on this machine: the rows a status reply and a virus event come
# down to, written with one multi-row statement per batch and a commit (a flush) per batch, by
# one connection as the service's processing thread uses one. Status: one update per computer of
# its comment and arrival time. Events: one virus alert row per event, with its computer's count
# of outstanding alerts. Prints "status <rows/s>" and "event <rows/s>".
#
# Usage: bench/db-limit.sh DATABASE (a database with a seeded fleet, as the load harness makes).
# Settings (environment): BATCH (rows per statement, default 64, the processing pass's count
# limit), SECONDS_EACH (default 10).
set -euo pipefail
usage() { awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0"; }
case "${1:-}" in
  "") usage >&2; exit 2 ;;
  -h | --help) usage; exit 0 ;;
esac
database=$1
BATCH=${BATCH:-64}
SECONDS_EACH=${SECONDS_EACH:-10}
command -v pgbench >/dev/null || { echo "db-limit: pgbench is missing (apt-get install postgresql-contrib)" >&2; exit 2; }
work=$(mktemp -d /tmp/corvex-db-limit.XXXXXX)
trap 'rm -rf "$work"' EXIT

sql() { psql -X -q -At -d "$database" -c "$1"; }
low=$(sql "SELECT min(\"ComputerID\") FROM dbo.\"Computers\"")
high=$(sql "SELECT max(\"ComputerID\") FROM dbo.\"Computers\"")
[ -n "$low" ] && [ "$high" -gt $((low + BATCH)) ] || { echo "db-limit: $database holds too few computers" >&2; exit 2; }

# A batch of consecutive computers from a random place in the fleet.
cat >"$work/status.sql" <<SQL
\set first random($low, $((high - BATCH)))
UPDATE dbo."Computers" c SET "Description" = 'limit ' || clock_timestamp(), "LastMessageTime" = localtimestamp
 WHERE c."ComputerID" BETWEEN :first AND :first + $((BATCH - 1));
SQL
cat >"$work/event.sql" <<SQL
\set first random($low, $((high - BATCH)))
WITH a AS (
  INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "UserName", "VirusName", "VirusType",
                            "InfectedItem", "ScannerType", "ActionTaken")
  SELECT c."ComputerID", 2, localtimestamp, 'CORP-user', 'EICAR-Test', 1, 'db-limit ' || clock_timestamp(), 1, 1
    FROM dbo."Computers" c WHERE c."ComputerID" BETWEEN :first AND :first + $((BATCH - 1))
  RETURNING "ComputerID")
UPDATE dbo."Computers" c SET "OutstandingVirusAlerts" = "OutstandingVirusAlerts" + 1 FROM a WHERE c."ComputerID" = a."ComputerID";
SQL

rate() {
  local tps
  tps=$(pgbench -n -c 1 -T "$SECONDS_EACH" -f "$work/$1.sql" "$database" 2>/dev/null |
    awk '/^tps = / {print $3; exit}')
  awk -v t="${tps:-0}" -v b="$BATCH" 'BEGIN {printf "%.0f", t * b}'
}
# The alerts it made go again, so that what the harness counts afterwards is the service's.
mark=$(sql "SELECT coalesce(max(\"AlertID\"), 0) FROM dbo.\"Alerts\"")
echo "status $(rate status)"
echo "event $(rate event)"
sql "WITH d AS (DELETE FROM dbo.\"Alerts\" WHERE \"AlertID\" > $mark AND \"InfectedItem\" LIKE 'db-limit %' RETURNING \"ComputerID\")
     UPDATE dbo.\"Computers\" c SET \"OutstandingVirusAlerts\" = c.\"OutstandingVirusAlerts\" - n.k
       FROM (SELECT \"ComputerID\", count(*) AS k FROM d GROUP BY 1) n WHERE c.\"ComputerID\" = n.\"ComputerID\""
