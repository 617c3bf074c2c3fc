#!/usr/bin/env bash
# The test command: installs what is missing, builds, starts PostgreSQL and runs every test
# (labels unit, db and e2e). Database tests create and drop their own databases.
#   --sanitize: builds with AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/
#               and runs the unit and db tests; any report fails the test that caused it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = --sanitize ]; then
  shift
  export CORVEX_BUILD_DIR=${CORVEX_BUILD_DIR:-$top/build-sanitize}
  export CORVEX_CMAKE_ARGS="-DCORVEX_SANITIZE=ON -DCORVEX_BUILD_BENCH=OFF ${CORVEX_CMAKE_ARGS:-}"
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0}
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$top/scripts/sanitize.supp:print_suppressions=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  set -- -L 'unit|db' "$@"
fi
"$top/scripts/install-deps.sh" --browser
"$top/scripts/build.sh"
"$top/scripts/start-postgres.sh"
cd "${CORVEX_BUILD_DIR:-$top/build}"
ctest --output-on-failure -j"${CORVEX_JOBS:-2}" "$@"
