#!/usr/bin/env bash
# The test command: installs what is missing, builds, starts PostgreSQL and runs every test
# (labels unit, db and e2e). Database tests create and drop their own databases.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" --browser
"$top/scripts/build.sh"
"$top/scripts/start-postgres.sh"
cd "${CORVEX_BUILD_DIR:-$top/build}"
ctest --output-on-failure -j"${CORVEX_JOBS:-2}" "$@"
