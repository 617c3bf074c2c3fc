#!/usr/bin/env bash
# The demo's main job, on a built tree: a fresh demo database, a messaging server of its own
# (nats-server on a private loopback port, with corvex-relay beside it), the management service
# and simulated agents on one machine, each client with its own enrolled key. Called by scripts/demo.sh with the build and demo
# folders; runs for $DEMO_SECONDS (default 20) and stops everything it started.
set -euo pipefail
. "$(dirname "$0")/registry-base.sh"
. "$(dirname "$0")/messaging-base.sh"
build=$(cd "$1" && pwd)
demo=$(mkdir -p "$2" && cd "$2" && pwd)
seconds=${DEMO_SECONDS:-20}
agents=${DEMO_AGENTS:-5}
database=${DEMO_DATABASE:-corvex_demo}

bin() { find "$build" -type f -name "$1" -perm -u+x | head -1; }
relay=$(bin corvex-relay)
nats=$(bin corvex-nats)
nats_server=${CORVEX_NATS_SERVER:-$(command -v nats-server || echo /usr/sbin/nats-server)}
nats_port=${DEMO_NATS_PORT:-$(corvex_free_port)}
messaging=$demo/messaging
service=$(bin rudadiz)
agentsim=$(bin corvex-agent-sim)
db=$(bin corvex-db)
ctl=$(bin corvexctl)
web=$(bin corvex-web)
web_port=${DEMO_WEB_PORT:-8443}
# The web console admits Linux accounts of the console administrators group: the demo makes a
# group and an account of its own (removed at the end) when it runs as root.
admins=root
web_user=corvex-demo
web_password=
if [ -n "$web" ] && [ "$(id -u)" -eq 0 ]; then
  admins=corvex-demo-admins
  getent group "$admins" >/dev/null || groupadd "$admins"
  id "$web_user" >/dev/null 2>&1 || useradd -M -N -s /usr/sbin/nologin -G "$admins" "$web_user"
  web_password=$(head -c 12 /dev/urandom | base64 | tr -d '/+=')
  echo "$web_user:$web_password" | chpasswd
fi

pids=()
cleanup() {
  # Last started first, each given 10 s to end: the clients log off while the messaging
  # server is still there to hear it.
  local i p
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    p=${pids[i]}
    kill -TERM "$p" 2>/dev/null || continue
    for _ in $(seq 1 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  # The messaging location holds the demo's keys and certificate authority.
  rm -rf "$messaging" "$demo/rogue"
  if [ -n "$web_password" ]; then
    userdel "$web_user" 2>/dev/null || true
    groupdel "$admins" 2>/dev/null || true
  fi
}
trap cleanup EXIT

rm -rf "$demo"/*.log "$demo"/*.sock "$demo/rogue"
mkdir -p "$demo"

echo "== database: $database"
"$db" drop --force "$database" >/dev/null 2>&1 || true
"$db" create "$database"
"$db" check "$database"

echo "== registry: $CORVEX_REGISTRY"
{
  corvex_registry_base . "$database" "$demo" "$admins"
  cat <<REG

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Web Console]
"ListenAddress"="127.0.0.1"
"Port"=dword:$(printf %08x "$web_port")
"CertificateFile"="$demo/web-certificate.pem"
"KeyFile"="$demo/web-key.pem"
REG
} > "$CORVEX_REGISTRY"
"$service" -RegServer

echo "== messaging: nats-server on 127.0.0.1:$nats_port, configuration in $messaging"
# Pings every 2 s, two unanswered: the server notices a vanished agent within the demo.
corvex_messaging_init "$nats" "$messaging" "$nats_port" --ping-interval 2 --ping-max 2
# Every client has its own key: the service, the demo's computers, and ROGUE1, whose enrolment
# is removed again below so that its old key shows what the server does with a stranger.
computers=()
for i in $(seq 1 "$agents"); do computers+=("PC$i.Agent"); done
"$nats" enrol "$messaging" PTLManagementService "${computers[@]}" LEAVE1.Agent LEAVE2.Agent ROGUE1.Agent >/dev/null
mkdir -p "$demo/rogue/clients"
cp "$messaging/url" "$messaging/ca.pem" "$demo/rogue/"
cp "$messaging/clients/ROGUE1=2EAgent.nk" "$demo/rogue/clients/"
"$nats" remove "$messaging" ROGUE1.Agent >/dev/null
echo "   enrolled: $("$nats" list "$messaging" | awk '$2 == "client" {print $1}' | tr '\n' ' ')"
"$nats_server" -c "$messaging/nats-server.conf" >"$demo/nats-server.log" 2>&1 &
pids+=($!)
corvex_wait_listening "$nats_port" || { echo "demo: nats-server did not start, see $demo/nats-server.log" >&2; exit 1; }
echo "== relay (log: $demo/relay.log)"
"$relay" --messaging "$messaging" --log-level 3 >"$demo/relay.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do grep -q " active on " "$demo/relay.log" 2>/dev/null && break; sleep 0.2; done
grep " active on " "$demo/relay.log" || { echo "demo: the relay did not start, see $demo/relay.log" >&2; exit 1; }

echo "== management service (trace: $demo/service.log)"
CORVEX_TRACE_LEVEL=2 CORVEX_TRACE_FILE="$demo/service.log" "$service" >"$demo/service.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do grep -q "logged on to" "$demo/service.log" 2>/dev/null && break; sleep 0.2; done

if [ -n "$web" ]; then
  echo "== web console (output: $demo/web.out)"
  CORVEX_EVENTLOG_FILE="$demo/web-events.log" "$web" >"$demo/web.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 50); do grep -q "listening on" "$demo/web.out" 2>/dev/null && break; sleep 0.2; done
  cat "$demo/web.out"
  if [ -n "$web_password" ]; then
    echo "   open https://127.0.0.1:$web_port/ (a self-signed certificate) and log in as $web_user, password $web_password"
    echo "   (the account lives as long as the demo: DEMO_SECONDS=600 gives ten minutes)"
  fi
fi

# The computers' first events make the service create them; the agents then log off, and log on
# again below, which the relay reports to the service.
echo "== $agents computers report a finished scan and log off (output: $demo/first-contact.log)"
{ sleep 2; echo "event all scan"; sleep 1; echo quit; } |
  "$agentsim" --messaging "$messaging" --agents "$agents" >"$demo/first-contact.log" 2>&1 || true

echo "== $agents simulated agents sending a mix of events (output: $demo/agents.log)"
"$agentsim" --messaging "$messaging" --agents "$agents" --service PTLManagementService --event-rate 0.5 \
  --event-mix virus=3,virus-local=1,scan=2,error=1,error-anonymous=1,update=1 >"$demo/agents.log" 2>&1 </dev/null &
pids+=($!)

echo "== two more computers find a virus; LEAVE1 then logs off, LEAVE2 vanishes (output: $demo/leaving.log)"
{ sleep 2; echo "event all virus"; sleep 3; echo "logoff LEAVE1"; sleep 1; echo vanish; } |
  "$agentsim" --messaging "$messaging" --prefix LEAVE --agents 2 --first 1 --domain BRANCH --user anna \
    >"$demo/leaving.log" 2>&1 &
pids+=($!)

echo "== authentication: ROGUE1, whose enrolment was removed, tries its old key (output: $demo/rogue.log)"
{ sleep 2; echo quit; } | CORVEX_TRACE_LEVEL=1 "$agentsim" --messaging "$demo/rogue" --prefix ROGUE --agents 1 >"$demo/rogue.log" 2>&1 || true
grep -o "cannot reach.*" "$demo/rogue.log" | head -n 1 | sed 's/^/   ROGUE1.Agent /' || true
grep "authentication error" "$demo/nats-server.log" | head -n 1 | sed 's/^/   nats-server: /' || true
if [ -n "$ctl" ]; then
  echo "== console: the enrolled agents (corvexctl agent list)"
  "$ctl" agent list || true
fi

if [ -n "$ctl" ]; then
  echo "== console: change clocks"
  "$ctl" clocks || true
fi

if [ -n "$ctl" ]; then
  # The status road: the console asks every computer for its status; the agents' replies bring
  # their operating system, address, user and product versions into the database.
  sleep 3
  ids=$("$ctl" computers | awk 'NR > 1 && $2 ~ /^PC/ {print $1}')
  if [ -n "$ids" ]; then
    echo "== console: refresh every computer"
    "$ctl" refresh $ids || true
    sleep 3
    "$ctl" computers || true
    pc1=$("$ctl" computers | awk '$2 == "PC1" {print $1}')
    echo "== console: PC1 joins a new group, which pushes its anti-virus configuration to it"
    group=$("$ctl" group create Demo | sed -n 's/^created group \([0-9]*\).*/\1/p')
    "$ctl" group add-computer "$group" "$pc1" || true
    "$ctl" send-config dex --group "$group" || true
    sleep 3
    grep "PC1.Agent applied" "$demo/agents.log" | tail -n 2 || true
    echo "== console: PC1's next status reply matches its group"
    "$ctl" refresh "$pc1" || true
    sleep 3
    "$ctl" computer "$pc1" | grep -E "^  (name|operating system|IP address|last logged-on user|anti-virus version|group|anti-virus config matches)" || true
    echo "== console: every computer updates now, one per interval"
    "$ctl" update-now $ids || true
  fi
fi

echo "== running for $seconds seconds"
sleep "$seconds"

echo "== what the relay saw: logons and logoffs (last lines of $demo/relay.log)"
grep -E "logged (on|off)" "$demo/relay.log" | tail -n 12 || true
echo "   letters to agents: $(grep -c "\] delivered " "$demo/relay.log" || true) delivered, $(grep -c "\] returned " "$demo/relay.log" || true) returned to their senders"
echo "== envelopes the service received, by type"
grep -o 'Got `[^`]*`' "$demo/service.log" | sort | uniq -c || true
echo "== what the service did (level 2 trace, last lines)"
tail -n 15 "$demo/service.log" || true
echo "== what the agents saw (last lines)"
tail -n 10 "$demo/agents.log" || true
echo "== force-update actions the agents carried out"
grep -c "updated now" "$demo/agents.log" || true
if [ -n "$ctl" ]; then
  echo "== console: change clocks"
  "$ctl" clocks || true
  echo "== console: the computers, connected or not"
  "$ctl" computers || true
  if "$ctl" help 2>&1 | grep -q "alerts"; then
    echo "== console: the alerts their events produced (newest first, last lines)"
    "$ctl" alerts | head -n 25 || true
  fi
fi
if [ -n "$web_password" ] && command -v curl >/dev/null; then
  echo "== web console: log in as $web_user and read the overview (what the browser's first page shows)"
  jar="$demo/web-cookies"
  url="https://127.0.0.1:$web_port"
  curl -sk -c "$jar" -H 'Content-Type: application/json' \
    -d "{\"user\":\"$web_user\",\"password\":\"$web_password\"}" "$url/api/login" >/dev/null || true
  curl -sk -b "$jar" "$url/api/overview?days=1" | sed 's/"AlertsPerDay":\[[^]]*\],//' || true
  echo
  rm -f "$jar"
fi
echo "== stopping"
