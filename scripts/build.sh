#!/usr/bin/env bash
# Configures and builds the project into build/ (or $CORVEX_BUILD_DIR); $CORVEX_CMAKE_ARGS adds
# configuration options (the sanitized build uses it).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVEX_BUILD_DIR:-$top/build}
# shellcheck disable=SC2086
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo} ${CORVEX_CMAKE_ARGS:-}
cmake --build "$build" -j"${CORVEX_JOBS:-2}"
