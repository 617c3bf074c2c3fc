#!/usr/bin/env bash
# Configures and builds the project into build/ (or $CORVEX_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVEX_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo}
cmake --build "$build" -j"${CORVEX_JOBS:-2}"
