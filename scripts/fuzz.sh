#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer, in
# build-fuzz/) and runs each for the given number of seconds (default 60), one after the
# other, at the lowest CPU priority. Corpora grow in build-fuzz/corpus/<target> from run to
# run; a finding leaves its crash-/leak-/oom- file in build-fuzz/findings/<target> and stops
# the target.
#   bash scripts/fuzz.sh [seconds] [target ...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build=${CORVEX_FUZZ_BUILD_DIR:-$top/build-fuzz}
all=(fuzz_xmldocument fuzz_documents fuzz_regtext fuzz_commandlines fuzz_envelope fuzz_message)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all[@]}"); fi

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "fuzz.sh: needs clang and libFuzzer (apt-get install -y clang libclang-rt-14-dev)" >&2
  exit 2
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCORVEX_BUILD_FUZZ=ON -DCORVEX_BUILD_TESTS=OFF \
    -DCORVEX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
fi
# CORVEX_FUZZ_NO_BUILD=1: the targets were built beforehand (on a shared machine, under its build lock).
[ -n "${CORVEX_FUZZ_NO_BUILD:-}" ] || nice -n 19 cmake --build "$build" -j"${CORVEX_JOBS:-2}" --target "${targets[@]}"

# Seeds: the project's sample documents and the hand-written ones under fuzz/seeds; payloads also
# start from the regression corpus of hostile ones (tests/messaging/corpus).
seeds_of() {
  case $1 in
    fuzz_xmldocument) echo "$top/handlers/HandlerUtils/fuzz/seeds" ;;
    fuzz_documents) echo "$top/dexhandler/samples $top/handlers/AUCoreHandler/samples" ;;
    fuzz_regtext) echo "$top/fuzz/seeds/regtext" ;;
    fuzz_commandlines) echo "$top/fuzz/seeds/commandlines" ;;
    fuzz_envelope) echo "$build/seeds/envelope $top/tests/messaging/corpus" ;;
    fuzz_message) echo "$build/seeds/message $top/tests/messaging/corpus" ;;
  esac
}
dict_of() {
  case $1 in
    fuzz_xmldocument | fuzz_documents) echo "-dict=$top/handlers/HandlerUtils/fuzz/xml.dict" ;;
    fuzz_commandlines) echo "-dict=$top/fuzz/commandlines.dict" ;;
  esac
}
binary_of() {
  find "$build" -type f -name "$1" -perm -u+x | head -1
}

# No leak is suppressed here: payloads reach the ORB only once the check has passed them, and the
# ORB's known leaks are on garbled type codes the check refuses (sanitize.supp is for the
# sanitized tests).
export LSAN_OPTIONS=${LSAN_OPTIONS:-print_suppressions=0}

status=0
printf '%-18s %8s %12s %10s %8s %s\n' target seconds executions exec/s cov result
for t in "${targets[@]}"; do
  bin=$(binary_of "$t")
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  mkdir -p "$corpus" "$findings"
  if [ "$t" = fuzz_envelope ] || [ "$t" = fuzz_message ]; then
    mkdir -p "$build/seeds/${t#fuzz_}"
    CORVEX_FUZZ_WRITE_SEEDS=$build/seeds/${t#fuzz_} "$bin" >/dev/null 2>&1 || true
  fi
  log=$build/findings/$t.log
  stamp=$(mktemp)
  # shellcheck disable=SC2046
  (cd "$findings" && nice -n 19 "$bin" "$corpus" $(seeds_of "$t") $(dict_of "$t") \
    -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -timeout=20 -print_final_stats=1) >"$log" 2>&1 || true
  # Payloads are checked before the ORB reads them, so a crash inside the ORB is a hole in
  # that check: every finding is ours.
  ours=$(find "$findings" -maxdepth 1 -type f -newer "$stamp" \( -name 'crash-*' -o -name 'leak-*' -o -name 'oom-*' -o -name 'timeout-*' \) | wc -l)
  rm -f "$stamp"
  if [ $ours -gt 0 ]; then
    result="FINDING: $ours of ours (see $findings, $log)"
    status=1
  else
    result=ok
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
  speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
  [ -n "$speed" ] || speed=$(( ${runs:-0} / seconds ))
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
  printf '%-18s %8s %12s %10s %8s %s\n' "$t" "$seconds" "${runs:-?}" "${speed:-?}" "${cov:-?}" "$result"
done
exit $status
