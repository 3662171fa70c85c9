#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three times: a normal
# build, an address + undefined sanitizer build, and a thread sanitizer build of the
# concurrent parts (tests labelled "tsan"); then a short libFuzzer run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
JOBS=$(nproc)

run_suite() {  # build-dir sanitizer ctest-args...
  local dir=$1 san=$2; shift 2
  echo "=== build $dir (sanitizer: ${san:-none})"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHV_SANITIZE="$san" >/dev/null
  cmake --build "$dir" -j"$JOBS"
  ctest --test-dir "$dir" -j"$JOBS" --output-on-failure --timeout 600 "$@"
}

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_suite build ""
run_suite build-asan address
run_suite build-tsan thread -L tsan
echo "=== fuzz smoke run"
FUZZ_JOBS=$(( JOBS < 3 ? JOBS : 3 )) bash scripts/fuzz.sh 25
echo "All test suites passed."
