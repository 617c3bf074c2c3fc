#!/usr/bin/env bash
# The demo command: installs what is missing, builds, starts PostgreSQL and runs the system's
# main job with what is built so far: a messaging server (nats-server and corvex-relay), the
# database, the service and simulated agents doing real work. Pieces that are not built yet are
# skipped with a note.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVEX_BUILD_DIR:-$top/build}
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"
"$top/scripts/start-postgres.sh"

demo=$build/demo
mkdir -p "$demo"
export CORVEX_REGISTRY=$demo/registry.reg
echo "demo: registry at $CORVEX_REGISTRY"

if [ -x "$top/scripts/demo-run.sh" ]; then
  exec "$top/scripts/demo-run.sh" "$build" "$demo"
fi
echo "demo: the platform layer is built; the messaging server, service and agents join this demo as they are built."
