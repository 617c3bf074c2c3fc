#!/usr/bin/env bash
# Installs the packages on this machine, runs the service as its units would, checks
# corvexctl health and the metrics, upgrades to a second build keeping the data, removes and
# purges. It changes the machine (an account, /etc/corvex, a database), so it runs only as root
# on Debian 12, only where none of that exists yet, and not when CORVEX_PACKAGE_TEST=0; everything
# it made is removed at the end, whatever happens. Exit 77: skipped, with the reason.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }

[ "${CORVEX_PACKAGE_TEST:-1}" != 0 ] || skip "CORVEX_PACKAGE_TEST=0: installing packages into this machine is not wanted"
[ "$(id -u)" -eq 0 ] || skip "needs root (dpkg, accounts)"
grep -q '^VERSION_ID="12"' /etc/os-release 2>/dev/null && grep -q '^ID=debian' /etc/os-release || skip "needs Debian 12"
! dpkg-query -W corvex-management >/dev/null 2>&1 || skip "corvex-management is installed already"
! getent passwd corvex >/dev/null || skip "an account corvex exists already"
[ ! -e /etc/corvex ] && [ ! -e /run/corvex ] || skip "/etc/corvex or /run/corvex exists already"
runuser -u postgres -- psql -qtAc 'SELECT 1' postgres >/dev/null 2>&1 || skip "no local PostgreSQL answers as postgres"
[ -z "$(runuser -u postgres -- psql -qtAc "SELECT 1 FROM pg_database WHERE datname = 'corvex'" postgres)" ] ||
    skip "a database corvex exists already"
for port in 4222 9475; do
    ! ss -Hltn "sport = :$port" | grep -q . || skip "port $port is taken"
done
command -v python3 >/dev/null || skip "needs python3 (the notify socket and the scrape)"

work=$(mktemp -d)
pids=()
stop_all() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do
        for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
    done
    pids=()
}
cleanup() {
    stop_all
    dpkg --purge corvex-web corvex-management >/dev/null 2>&1 || true
    runuser -u postgres -- dropdb --if-exists --force corvex >/dev/null 2>&1 || true
    runuser -u postgres -- dropuser --if-exists corvex >/dev/null 2>&1 || true
    getent passwd corvex >/dev/null && deluser --quiet corvex >/dev/null 2>&1 || true
    getent group corvex >/dev/null && delgroup --quiet corvex >/dev/null 2>&1 || true
    getent group corvex-console-admins >/dev/null && delgroup --quiet corvex-console-admins >/dev/null 2>&1 || true
    rm -rf /etc/corvex /run/corvex "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Two builds of the same tree, told apart by their version.
for v in 0.0.1 0.0.2; do
    CORVEX_PACKAGE_VERSION=$v CORVEX_DIST_DIR=$work/$v bash "$root/scripts/package.sh" >/dev/null 2>"$work/package-$v.log" ||
        fail "package.sh $v: $(cat "$work/package-$v.log")"
done

echo "== install 0.0.1"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$work"/0.0.1/*.deb >"$work/install.log" 2>&1 ||
    fail "install: $(tail -20 "$work/install.log")"
getent passwd corvex >/dev/null || fail "no corvex account"
getent group corvex-console-admins | grep -q corvex || fail "corvex is not in corvex-console-admins"
getent group corvex-console-viewers >/dev/null || fail "no corvex-console-viewers group"
[ "$(stat -c %a:%U /var/lib/corvex)" = 750:corvex ] || fail "/var/lib/corvex is $(stat -c %a:%U /var/lib/corvex)"
[ "$(stat -c %a:%G /etc/corvex)" = 770:corvex ] || fail "/etc/corvex is $(stat -c %a:%G /etc/corvex)"
[ -e /etc/corvex/messaging/nats-server.conf ] || fail "no messaging location"
runuser -u corvex -- corvex-db check corvex >/dev/null || fail "the database is not complete"
for u in corvex-messaging corvex-relay corvex-management-service; do
    [ -e "/etc/systemd/system/multi-user.target.wants/$u.service" ] || fail "$u is not enabled"
done

# The units' ExecStart under their User=, with a notify socket for the service's READY=1.
start_units() {
    local unit exec user dir
    for unit in corvex-messaging corvex-relay corvex-management-service; do
        exec=$(sed -n 's/^ExecStart=//p' "/lib/systemd/system/$unit.service" | tr -d '"')
        user=$(sed -n 's/^User=//p' "/lib/systemd/system/$unit.service")
        # What systemd would make for the unit: its runtime folder.
        dir=$(sed -n 's/^RuntimeDirectory=//p' "/lib/systemd/system/$unit.service")
        [ -z "$dir" ] || install -d -o "$user" -g "$user" -m "$(sed -n 's/^RuntimeDirectoryMode=//p' "/lib/systemd/system/$unit.service")" "/run/$dir"
        if [ "$unit" = corvex-management-service ]; then
            rm -f "$work/notify.sock" "$work/notify.log"
            python3 -c '
import socket, sys, os
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o666)
s.settimeout(90)
while True:
    m = s.recv(4096).decode()
    print(m.replace("\n", " "), flush=True)
    if "READY=1" in m: break
' "$work/notify.sock" >"$work/notify.log" 2>&1 &
            local listener=$!
            for _ in $(seq 1 50); do [ -S "$work/notify.sock" ] && break; sleep 0.1; done
            chmod 0755 "$work"
            NOTIFY_SOCKET="$work/notify.sock" setpriv --reuid "$user" --regid "$user" --init-groups -- $exec >"$work/$unit.log" 2>&1 &
            local service=$!
            pids+=($service)
            for _ in $(seq 1 600); do
                grep -q READY=1 "$work/notify.log" 2>/dev/null && break
                kill -0 "$service" 2>/dev/null || fail "the service ended before READY=1: $(tail -5 "$work/$unit.log")"
                sleep 0.1
            done
            grep -q READY=1 "$work/notify.log" || fail "the service never said READY=1: $(tail -5 "$work/$unit.log")"
            wait "$listener" || true
        else
            setpriv --reuid "$user" --regid "$user" --init-groups -- $exec >"$work/$unit.log" 2>&1 &
            pids+=($!)
            sleep 1
        fi
    done
}

health() {
    for _ in $(seq 1 30); do
        if corvexctl health >"$work/health.txt" 2>&1; then cat "$work/health.txt"; return 0; fi
        sleep 1
    done
    cat "$work/health.txt"
    return 1
}

echo "== run 0.0.1"
start_units
health || fail "corvexctl health"
python3 -c '
import urllib.request
text = urllib.request.urlopen("http://127.0.0.1:9475/metrics", timeout=5).read().decode()
for name in ("corvex_envelopes_received_total", "corvex_processing_queue_depth", "corvex_messaging_connected 1"):
    assert name in text, name
print("metrics: scraped", len(text.splitlines()), "lines")
for line in text.splitlines():
    if line.startswith(("corvex_envelopes", "corvex_letters", "corvex_processing_queue", "corvex_processing_passes")):
        print("  ", line)
' || fail "metrics"
runuser -u corvex -- corvexctl group create Survivors >/dev/null || fail "group create"
stop_all

echo "== upgrade to 0.0.2"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-confold \
    "$work"/0.0.2/*.deb >"$work/upgrade.log" 2>&1 || fail "upgrade: $(tail -20 "$work/upgrade.log")"
[ "$(dpkg-query -W -f '${Version}' corvex-management)" = 0.0.2 ] || fail "not upgraded"
start_units
health || fail "corvexctl health after the upgrade"
runuser -u corvex -- corvexctl groups | grep -q Survivors || fail "the group did not survive the upgrade"
stop_all

echo "== remove, then purge"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q corvex-web corvex-management >/dev/null 2>&1 || fail "remove"
[ -d /var/lib/corvex ] || fail "removing took the state"
[ -n "$(runuser -u postgres -- psql -qtAc "SELECT 1 FROM pg_database WHERE datname = 'corvex'" postgres)" ] ||
    fail "removing took the database"
dpkg --purge corvex-web corvex-management >/dev/null || fail "purge"
[ ! -e /var/lib/corvex ] || fail "purging left /var/lib/corvex"
[ -z "$(runuser -u postgres -- psql -qtAc "SELECT 1 FROM pg_database WHERE datname = 'corvex'" postgres)" ] ||
    fail "purging left the database"
echo "PASSED"
