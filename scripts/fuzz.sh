#!/bin/bash
# Builds the libFuzzer targets with clang into build/fuzz and runs them.
#   scripts/fuzz.sh                 every target, 45 s each
#   scripts/fuzz.sh --ci            the same, and non-zero when any target found a crash
#   scripts/fuzz.sh TARGET SECONDS  one target for longer (e.g. fuzz_script 3600)
# New interesting inputs collect in build/fuzz/corpus/<target>; the committed seeds in
# tests/fuzz/corpus/<target> are only read. Crashing inputs land in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/fuzz
ALL_TARGETS=(fuzz_imgheader fuzz_env fuzz_mtd fuzz_script fuzz_gzip)
TARGETS=("${ALL_TARGETS[@]}")
SECONDS_EACH=45
SEED=()

if [ "${1:-}" = "--ci" ]; then
  # A fixed seed: a test run that fails can be repeated input for input.
  SEED=(-seed=1)
  shift
elif [ $# -ge 1 ]; then
  TARGETS=("$1")
  SECONDS_EACH=${2:-600}
fi
case " ${ALL_TARGETS[*]} " in
  *" ${TARGETS[0]} "*) ;;
  *) echo "unknown fuzz target ${TARGETS[0]}" >&2; exit 2 ;;
esac

mkdir -p "$BUILD"
if ! CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DFWAPPLY_FUZZ=ON -DBUILD_TESTING=OFF \
     -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD.configure.log" 2>&1; then
  cat "$BUILD.configure.log"; echo "fuzz: configure FAILED"; exit 1
fi
if ! cmake --build "$BUILD" -j"${JOBS:-2}" --target "${TARGETS[@]}" >"$BUILD.build.log" 2>&1; then
  tail -50 "$BUILD.build.log"; echo "fuzz: build FAILED"; exit 1
fi

fail=0
total=0
summary=()
mkdir -p "$BUILD/artifacts"
for t in "${TARGETS[@]}"; do
  work=$BUILD/corpus/$t
  mkdir -p "$work"
  log=$BUILD/$t.log
  echo "=== $t (${SECONDS_EACH}s) ==="
  rc=0
  # The script target unwinds out of the flash writer's exit(): what that path leaves open is
  # released by the process's end on the board, so leaks are not checked there.
  leaks=1
  [ "$t" = fuzz_script ] && leaks=0
  # Every input frees chip-sized buffers: a small quarantine keeps use-after-free checks within
  # an input without recycling hundreds of megabytes. No allocation stacks are kept while
  # searching (a fifth of the script target's time): a crashing input replays with them, e.g.
  #   build/fuzz/tests/fuzz/fuzz_script build/fuzz/artifacts/fuzz_script-crash-...
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=$leaks:quarantine_size_mb=16:malloc_context_size=0" \
  "$BUILD/tests/fuzz/$t" -max_total_time="$SECONDS_EACH" "${SEED[@]}" -timeout=30 -rss_limit_mb=2048 \
    -detect_leaks=$leaks -print_final_stats=0 -artifact_prefix="$BUILD/artifacts/$t-" \
    "$work" "$ROOT/tests/fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  runs=$(grep -Eo '^Done [0-9]+ runs' "$log" | tail -1 | grep -Eo '[0-9]+' || true)
  if [ "$rc" -ne 0 ] || [ -z "$runs" ]; then
    grep -E -A30 '^==[0-9]+==|ERROR:' "$log" | head -60 || tail -30 "$log"
    summary+=("$t: FAILED (exit $rc), see $log")
    fail=1
  else
    summary+=("$t: Done $runs runs")
    total=$((total + runs))
  fi
done
echo "=== fuzz summary ==="
printf '%s\n' "${summary[@]}"
echo "total: $total runs"
exit $fail
