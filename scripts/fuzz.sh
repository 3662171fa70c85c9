#!/usr/bin/env bash
# Fuzzes the launcher's readers with libFuzzer (clang, address + undefined sanitizers).
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# SECONDS of CPU time per target (default 3600), counted over the fuzzer and every job it
# forks, so a loaded machine lengthens a run instead of shortening it (wall time is capped
# at four times as much); TARGETs from: archive archive_signed archive_nested
# archive_nested_signed params tail_header launch_file lso_file png (default all). FUZZ_JOBS targets run at once
# (default 3), each in libFuzzer's fork mode on one core; FUZZ_BUILD is the build folder
# (default build-fuzz), built with FUZZ_BUILD_JOBS compile jobs (default: every core). The corpus grows in $FUZZ_BUILD/corpus/<target> from the seeds
# that fuzz_make_seeds writes and the stored inputs of tests/fuzz_regressions/<target>.
# Crashes and hangs land in $FUZZ_BUILD/findings/<target>/ and make the exit status 1;
# copy each there to tests/fuzz_regressions/<target>/ once its fault is mended.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${1:-3600}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(archive archive_signed archive_nested archive_nested_signed params tail_header
                                    launch_file lso_file png)
JOBS=${FUZZ_JOBS:-3}
BUILD=${FUZZ_BUILD:-build-fuzz}

cmake -S . -B "$BUILD" -DHV_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"${FUZZ_BUILD_JOBS:-$(nproc)}" >/dev/null
rm -rf "$BUILD/seeds"
"$BUILD/fuzz/fuzz_make_seeds" "$BUILD/seeds"

# Rings and run records are never freed by the launcher (every run ends the process), so
# a long job grows: leak reports are off and a job that reaches the memory limit is
# simply restarted by the fork mode.
# A small quarantine keeps the resident memory (and the fork of every shell command the
# extraction runs) small.
export ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=16
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The process $1 and its live descendants, one "pid cpu_ticks" line each (reaped children
# are in their parent's cutime/cstime).
process_tree() {
  # A process that ends between the glob and the read makes cat fail: not an error here.
  { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v root="$1" '
    { pid = $1; sub(/^.*\) /, ""); parent[pid] = $2; ticks[pid] = $12 + $13 + $14 + $15 }
    END { for (p in parent) { q = p; for (i = 0; i < 64 && q != "" && q != root; i++) q = parent[q]
                              if (q == root) print p, ticks[p] } }'
}

run_target() {  # target
  local t=$1 corpus="$BUILD/corpus/$1" findings="$BUILD/findings/$1"
  mkdir -p "$corpus" "$findings"
  local extra=()
  [ -d "tests/fuzz_regressions/$t" ] && extra+=("$ROOT/tests/fuzz_regressions/$t")
  (cd "$findings" && exec "$ROOT/$BUILD/fuzz/fuzz_$t" -fork=1 -ignore_crashes=1 -ignore_ooms=1 \
      -ignore_timeouts=1 -timeout=25 -max_len=8192 -close_fd_mask=1 \
      -max_total_time=$((SECONDS_EACH * 4)) -artifact_prefix="$ROOT/$findings/" \
      "$ROOT/$corpus" "$ROOT/$BUILD/seeds/$t" "${extra[@]}") >"$BUILD/findings/$t.log" 2>&1 &
  local pid=$! used=0 hz tree
  hz=$(getconf CLK_TCK)
  while kill -0 "$pid" 2>/dev/null; do
    tree=$(process_tree "$pid")
    used=$(echo "$tree" | awk -v hz="$hz" '{ t += $2 } END { print int(t / hz) }')
    if [ "$used" -ge "$SECONDS_EACH" ]; then
      # The jobs first, so the fuzzer does not take their end for a finding.
      echo "$tree" | awk -v root="$pid" '$1 != root { print $1 }' | xargs -r kill -KILL 2>/dev/null || true
      kill -KILL "$pid" 2>/dev/null || true
      break
    fi
    sleep 5
  done
  wait "$pid" 2>/dev/null || true
  echo "$used" >"$BUILD/findings/$t.cpu"
}

echo "Fuzzing ${TARGETS[*]} for ${SECONDS_EACH}s each, $JOBS at a time (logs: $BUILD/findings/)"
running=0
for t in "${TARGETS[@]}"; do
  run_target "$t" &
  running=$((running + 1))
  # A target's own end never ends the others: its findings are counted below.
  if [ "$running" -ge "$JOBS" ]; then wait -n || true; running=$((running - 1)); fi
done
wait || true

status=0
for t in "${TARGETS[@]}"; do
  line=$(grep -E '^#[0-9]+: cov' "$BUILD/findings/$t.log" | tail -1 || true)
  faults=$(find "$BUILD/findings/$t" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' \) | wc -l)
  ooms=$(find "$BUILD/findings/$t" -maxdepth 1 -type f -name 'oom-*' | wc -l)
  cpu=$(cat "$BUILD/findings/$t.cpu" 2>/dev/null || echo '?')
  echo "$t: ${cpu}s CPU | ${line:-no stats} | crashes+hangs: $faults, memory limit: $ooms"
  if [ "$faults" -gt 0 ]; then
    status=1
    find "$BUILD/findings/$t" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' \) | sed 's/^/  /'
  fi
done
exit $status
