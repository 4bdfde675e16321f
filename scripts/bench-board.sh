#!/bin/bash
# Times fwapply on the simulated board against the plainest way of doing the
# same flash work (erase ioctls plus dd, or one MEMWRITE per page), and against
# the chip's own time with nandsim's timing model on. Not part of the test run.
#   BENCH_MB (32) image size, BENCH_DELAY_MB (8) size on the timed chip,
#   BENCH_REPS (3) repetitions; the median is shown.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=board.sh
. "$ROOT/scripts/board.sh"
MB=${BENCH_MB:-32} DELAY_MB=${BENCH_DELAY_MB:-8} REPS=${BENCH_REPS:-3}
ERASE_MS=2 PROG_US=300
DELAYS="do_delays=1 programm_delay=$PROG_US erase_delay=$ERASE_MS access_delay=25 input_cycle=25 output_cycle=25"

mkdir -p "$CACHE"
board_need_packages
BOARD_BIN_DIR=$(mktemp -d)
trap 'rm -rf "$BOARD_BIN_DIR"' EXIT
g++ -std=c++17 -O2 -Wall -Wextra -Werror -static -o "$BOARD_BIN_DIR/benchtool" "$ROOT/tools/bench/benchtool.cpp"
export BOARD_BIN_DIR
board_build
board_kernel
SCEN=$CACHE/bench-scen RES=$CACHE/bench-results
rm -rf "$SCEN"; mkdir -p "$SCEN"
printf 'MB=%s\nDELAY_MB=%s\nREPS=%s\nDELAYS="%s"\n' "$MB" "$DELAY_MB" "$REPS" "$DELAYS" > "$SCEN/opts"
board_initramfs "$CACHE/bench-initramfs.cpio.gz" "$SCEN" "$ROOT/tools/bench/bench-init.sh"
echo "bench: booting kernel $KVER (${MB} MiB, ${DELAY_MB} MiB on the timed chip, $REPS rounds)"
board_boot "$CACHE/bench-initramfs.cpio.gz" "$RES" || exit 1
echo "bench: board ran for ${BOARD_BOOT_SECONDS}s"
grep -E 'refused|failed' "$RES/console.txt" || true
[ -s "$RES/fwapply.err" ] && { echo "bench: fwapply said on stderr:"; sort "$RES/fwapply.err" | uniq -c | head; }
median() { awk -v c="$1" '$1 == c {print $2}' "$RES/times" | sort -g | awk '{v[NR] = $1} END {if (NR) print v[int((NR + 1) / 2)]}'; }
chip=$(awk -v b=$((DELAY_MB * 8)) -v e=$ERASE_MS -v p=$PROG_US 'BEGIN {printf "%.6f", b * (e / 1000 + 64 * p / 1e6)}')
printf '%-14s %12s %8s\n' case median_s ratio
for c in write writeoob write-delays; do
  m=$(median "$c")
  case $c in
    write-delays) base=$chip; label="chip time $chip s" ;;
    *) base=$(median "$c-base"); label="vs $c-base"; printf '%-14s %12s %8s\n' "$c-base" "$base" "" ;;
  esac
  printf '%-14s %12s %8s  (%s)\n' "$c" "$m" "$(awk -v a="$m" -v b="$base" 'BEGIN {if (b > 0) printf "%.2f", a / b}')" "$label"
done
