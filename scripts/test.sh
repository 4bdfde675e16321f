#!/bin/bash
# Runs every test tier: host build, sanitizer build, 32-bit ARM build under qemu-arm,
# and the real-kernel system tier. Installs what it needs with apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

scripts/need.sh cmake g++ make googletest g++-arm-linux-gnueabihf qemu-user \
  clang libclang-rt-14-dev zlib1g-dev qemu-system-x86 busybox-static cpio kmod zstd

fail=0
summary=()
echo "=== lint ==="
if scripts/lint.sh; then summary+=("lint: passed"); else summary+=("lint: FAILED"); fail=1; fi

run_tier() {  # name, build dir, cmake args...
  local name=$1 dir=$2; shift 2
  echo "=== $name ==="
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; summary+=("$name: configure FAILED"); fail=1; return; }
  if ! cmake --build "$dir" -j"$JOBS" >"$dir.build.log" 2>&1; then
    tail -50 "$dir.build.log"; summary+=("$name: build FAILED"); fail=1; return
  fi
  local log="$dir.ctest.log"
  if ctest --test-dir "$dir" -j"$JOBS" --output-on-failure --timeout 600 >"$log" 2>&1; then :; else fail=1; fi
  grep -E "tests passed|tests failed|The following tests|Failed|\*\*\*" "$log" | tail -40 || true
  summary+=("$name: $(grep -E 'tests passed' "$log" | tail -1)")
}

mkdir -p build
run_tier host build/host
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
  run_tier sanitizers build/asan -DFWAPPLY_SANITIZE=ON
run_tier arm build/arm -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/arm-linux-gnueabihf.cmake"
if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz ==="
  if scripts/fuzz.sh --ci; then summary+=("fuzz: passed"); else summary+=("fuzz: FAILED"); fail=1; fi
fi
if [ -x scripts/system-test.sh ]; then
  echo "=== system (real kernel under qemu) ==="
  if scripts/system-test.sh; then summary+=("system: passed"); else summary+=("system: FAILED"); fail=1; fi
fi

echo "=== summary ==="
printf '%s\n' "${summary[@]}"
exit $fail
