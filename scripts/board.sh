#!/bin/bash
# Applies an update package to a simulated board and shows what happened.
# The board is Debian's own amd64 kernel booted under qemu (software emulation)
# with the nandsim driver standing in for the NAND chip.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${BOARD_CACHE:-$ROOT/.cache/board}
BUILD=${BOARD_BUILD:-$ROOT/build/static}
SYS=$ROOT/tests/system
ENV_OFFSET=0x3c0000

board_usage() {
  cat <<'EOF'
usage: scripts/board.sh [options] [PACKAGE]

Boots a simulated board (Debian's amd64 kernel under qemu, the NAND chip
simulated by nandsim: 128 MiB, 2 KiB pages, 128 KiB eraseblocks, 64 OOB
bytes), runs `fwapply PACKAGE` on it and shows fwapply's standard output
and error, its exit status, a map of the chip's eraseblocks before and
after, and the boot variables at 0x3C0000.

PACKAGE is an update package (*.tgz), an image file (*.img) or a directory
holding an unpacked package (it is copied to /tmp/update on the board and
fwapply is started with /tmp/update). Without PACKAGE the example package
built from tests/system/example is used.

Options:
  --bad-blocks LIST   eraseblocks marked bad at power-on, e.g. 17,18
  --fail-pages LIST   pages whose programming fails after N writes,
                      PAGE[:N] (N defaults to 3), e.g. 1088:0
  --fail-erase LIST   eraseblocks whose erase fails after N erases,
                      BLOCK[:N] (N defaults to 3)
  --lose-pages LIST   pages that stop reading back after N reads, PAGE[:N]
  --bitflips N        up to N random bit flips per page read
  --env "A=1 B=2"     boot variables written at 0x3C0000 before the run,
                      one NAME=VALUE per word (a value cannot hold a
                      blank here); default "image=1 bootdelay=3 board=sim"
  --version TEXT      content of /etc/version (default "v1.2r3 build")
  --console           show the board's serial console while it runs
  --keep DIR          keep the board's result files in DIR
  -h, --help          this text

Page and block numbers count from 0; page P lies in eraseblock P/64.
On the board /dev/mtd0 is the whole chip and /dev/mtdblock4 is a loop
device over the chip's 128 KiB at 0x3C0000, the boot environment.
A system-log stand-in listens on /tmp/ZQ_SYSTEMLOG and queue 0x106; the
events it received are shown too. /mnt/user is a tmpfs holding two files.
EOF
}

log() { echo "board.sh: $*" >&2; }
die() { log "$*"; exit 1; }

board_need_packages() {
  local need=() p
  for p in qemu-system-x86 busybox-static cpio kmod cmake g++ make gzip; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
  done
  if [ ${#need[@]} -gt 0 ]; then
    local sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
    log "installing ${need[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
  fi
}

# The programs that run on the board: the product, its tools, and the probe
# that inspects the chip independently of the product.
board_build() {
  BIN=$CACHE/bin
  mkdir -p "$BIN"
  local f p todo=()
  rm -f "$BIN"/*
  # Anything else in BOARD_BIN_DIR goes onto the board as well.
  if [ -n "${BOARD_BIN_DIR:-}" ]; then
    for f in "$BOARD_BIN_DIR"/*; do [ -f "$f" ] && [ -x "$f" ] && cp "$f" "$BIN/"; done
  fi
  for f in fwapply syslog-standin; do
    # A prebuilt program (BOARD_BIN_DIR) takes the place of the tree's own.
    if [ -n "${BOARD_BIN_DIR:-}" ] && [ -x "$BOARD_BIN_DIR/$f" ]; then cp "$BOARD_BIN_DIR/$f" "$BIN/$f"
    else todo+=("$f"); fi
  done
  if [ ${#todo[@]} -gt 0 ]; then
    cmake -S "$ROOT" -B "$BUILD" -DFWAPPLY_STATIC=ON -DBUILD_TESTING=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$CACHE/configure.log" 2>&1 \
      || { cat "$CACHE/configure.log" >&2; die "configuring $BUILD failed"; }
    cmake --build "$BUILD" -j"$(nproc)" --target "${todo[@]}" >"$CACHE/build.log" 2>&1 \
      || { tail -40 "$CACHE/build.log" >&2; die "building ${todo[*]} failed"; }
    for f in "${todo[@]}"; do
      p=$(find "$BUILD" -type f -name "$f" -perm -u+x | head -1)
      [ -n "$p" ] || die "$f was not built"
      cp "$p" "$BIN/$f"
    done
  fi
  g++ -std=c++17 -O2 -Wall -Wextra -Werror -static -o "$BIN/boardtool.new" "$SYS/boardtool.cpp"
  mv "$BIN/boardtool.new" "$BIN/boardtool"
}

# Debian's kernel, unpacked only: nothing is installed on this host.
board_kernel() {
  local kdir=$CACHE/kernel
  if [ ! -f "$kdir/ready" ]; then
    mkdir -p "$kdir"
    command -v apt-cache >/dev/null || die "apt-cache is needed to find Debian's kernel"
    local pkg ver
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    if [ -z "$pkg" ]; then
      local sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
      $sudo apt-get update -qq
      pkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    fi
    [ -n "$pkg" ] || die "cannot find the kernel that linux-image-amd64 depends on"
    log "fetching $pkg"
    rm -rf "$kdir/root" "$kdir"/*.deb
    (cd "$kdir" && apt-get download "$pkg" >/dev/null 2>&1) || die "apt-get download $pkg failed"
    dpkg-deb -x "$kdir"/*.deb "$kdir/root"
    ver=${pkg#linux-image-}
    depmod -b "$kdir/root" "$ver"
    echo "$ver" > "$kdir/version"
    rm -f "$kdir"/*.deb
    touch "$kdir/ready"
  fi
  KVER=$(cat "$kdir/version")
  KROOT=$kdir/root
  VMLINUZ=$KROOT/boot/vmlinuz-$KVER
  MODROOT=$KROOT/lib/modules/$KVER
}

# Modules in load order, dependencies first.
board_module_order() {
  local seen=" " mods=()
  visit() {
    local rel=$1 dep
    case "$seen" in *" $rel "*) return ;; esac
    seen="$seen$rel "
    while read -r dep; do
      visit "$dep"
    done < <(awk -v m="$rel:" '$1 == m { for (i = 2; i <= NF; i++) print $i }' "$MODROOT/modules.dep")
    mods+=("$rel")
  }
  local name rel
  for name in mtd mtd_blkdevs mtdblock loop nandsim; do
    rel=$(awk -F: -v n="/$name.ko" 'index($1, n) && substr($1, length($1) - length(n) + 1) == n {print $1; exit}' \
      "$MODROOT/modules.dep")
    if [ -z "$rel" ]; then
      rel=$(awk -F: -v n="/$name.ko" 'index($1, n) {print $1; exit}' "$MODROOT/modules.dep")
    fi
    if [ -z "$rel" ]; then
      grep -q "/$name.ko" "$MODROOT/modules.builtin" || die "kernel module $name not found"
      continue
    fi
    visit "$rel"
  done
  printf '%s\n' "${mods[@]}"
}

# board_initramfs OUT SCENARIO_ROOT [INIT]: the programs, busybox, the modules
# and the scenarios (each a directory with an opts file and its package); INIT
# is the board's /init (tests/system/init.sh by default).
board_initramfs() {
  local out=$1 scen=$2 init=${3:-$SYS/init.sh} ir=$CACHE/initramfs
  rm -rf "$ir"
  mkdir -p "$ir"/{bin,sbin,etc,proc,sys,dev,tmp,mnt,lib/modules}
  cp /bin/busybox "$ir/bin/busybox"
  local a
  for a in $(/bin/busybox --list); do
    [ -e "$ir/bin/$a" ] || ln -s busybox "$ir/bin/$a"
  done
  cp "$BIN"/* "$ir/bin/"
  local rel f order=()
  for rel in $(board_module_order); do
    f=$MODROOT/$rel
    case "$f" in
      *.xz) xz -dc "$f" > "$ir/lib/modules/$(basename "${rel%.xz}")" ;;
      *.zst) zstd -qdc "$f" > "$ir/lib/modules/$(basename "${rel%.zst}")" ;;
      *) cp "$f" "$ir/lib/modules/" ;;
    esac
    rel=$(basename "$rel"); rel=${rel%.xz}; rel=${rel%.zst}
    order+=("$rel")
  done
  printf '%s\n' "${order[@]}" > "$ir/lib/modules/order"
  cp "$init" "$ir/init"
  cp "$SYS/board-start.sh" "$ir/lib/board-start.sh"
  chmod +x "$ir/init"
  cp -r "$scen" "$ir/scen"
  (cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1) > "$out"
}

# board_boot INITRAMFS RESULT_DIR: boots once, runs every scenario, unpacks
# the results. Returns non-zero when no results came back.
board_boot() {
  local initrd=$1 res=$2 serial=$CACHE/serial1.txt console=$CACHE/console.txt
  rm -f "$serial" "$console"
  local accel=tcg
  # /dev/kvm may exist without working (nested hosts); KVM only on request.
  [ "${BOARD_KVM:-0}" = 1 ] && accel=kvm
  local cmd=(qemu-system-x86_64 -machine "q35,accel=$accel" -cpu max -smp 1 -m 512M -net none
    -nographic -no-reboot -kernel "$VMLINUZ" -initrd "$initrd"
    -append "console=ttyS0 panic=-1 quiet loglevel=1 rdinit=/init"
    -serial "file:$console" -serial "file:$serial" -monitor none)
  local t0=$SECONDS
  if [ "${BOARD_CONSOLE:-0}" = 1 ]; then
    cmd[${#cmd[@]}-4]=stdio
    timeout "${BOARD_TIMEOUT:-900}" "${cmd[@]}" </dev/null || true
  else
    timeout "${BOARD_TIMEOUT:-900}" "${cmd[@]}" </dev/null >/dev/null 2>"$CACHE/qemu.err" || true
  fi
  BOARD_BOOT_SECONDS=$((SECONDS - t0))
  rm -rf "$res"; mkdir -p "$res"
  if ! grep -q '===BOARD-RESULTS-END===' "$serial" 2>/dev/null; then
    log "the board sent no results; its console said:"
    tail -30 "$console" >&2 2>/dev/null || true
    cat "$CACHE/qemu.err" >&2 2>/dev/null || true
    return 1
  fi
  sed -n '/===BOARD-RESULTS-BEGIN===/,/===BOARD-RESULTS-END===/p' "$serial" | sed '1d;$d' | tr -d '\r' \
    | base64 -d | tar xzf - -C "$res"
  cp "$console" "$res/console.txt" 2>/dev/null || true
}

board_example_package() {  # OUT_DIR: builds pkg.tgz there from tests/system/example
  local out=$1 src=$SYS/example tmp
  tmp=$(mktemp -d)
  cp "$src"/fwupdate_* "$tmp/"
  "$BIN/boardtool" prng 1 $((0x100000)) > "$tmp/kernel.img"
  (cd "$tmp" && tar czf "$out/pkg.tgz" fwupdate_* kernel.img)
  cp "$tmp/kernel.img" "$out/kernel.img"
  rm -rf "$tmp"
}

# board_check PACKAGE: fwcheck's findings on the package, on the host, before the board boots.
# A package with errors still boots, so that the board shows what they do.
board_check() {
  if ! cmake -S "$ROOT" -B "$BUILD" -DFWAPPLY_STATIC=ON -DBUILD_TESTING=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$CACHE/fwcheck-build.log" 2>&1 \
    || ! cmake --build "$BUILD" -j"$(nproc)" --target fwcheck >>"$CACHE/fwcheck-build.log" 2>&1; then
    log "fwcheck could not be built ($CACHE/fwcheck-build.log); the package is not checked"
    return 0
  fi
  printf '\n--- fwcheck %s ---\n' "$1"
  "$BUILD/tools/fwcheck" "$1" || log "fwcheck found problems (status $?); booting anyway to show what they do"
}

# Page[:count] lists of the user interface mapped to nandsim's parameters.
board_nandsim_args() {
  local a=""
  [ -n "${OPT_BAD:-}" ] && a+=" badblocks=$OPT_BAD"
  [ -n "${OPT_WEAKPAGES:-}" ] && a+=" weakpages=$OPT_WEAKPAGES"
  [ -n "${OPT_WEAKBLOCKS:-}" ] && a+=" weakblocks=$OPT_WEAKBLOCKS"
  [ -n "${OPT_GRAVE:-}" ] && a+=" gravepages=$OPT_GRAVE"
  [ -n "${OPT_BITFLIPS:-}" ] && a+=" bitflips=$OPT_BITFLIPS"
  echo "${a# }"
}

board_show() {  # RESULT_DIR of one scenario
  local r=$1
  section() { printf '\n--- %s ---\n' "$1"; }
  if [ -f "$r/board-error" ]; then section "board error"; cat "$r/board-error"; fi
  section "command"; cat "$r/command" 2>/dev/null || true
  section "fwapply standard output"; cat "$r/stdout" 2>/dev/null || true
  [ -s "$r/stdout" ] && [ "$(tail -c1 "$r/stdout" | od -An -c | tr -d ' ')" != '\n' ] && echo "(no newline at end)"
  section "fwapply standard error"; cat "$r/stderr" 2>/dev/null || true
  section "exit status"; echo "$(cat "$r/rc" 2>/dev/null || echo none) (after $(cat "$r/seconds" 2>/dev/null || echo '?') s)"
  section "flash after the run (one character per 128 KiB eraseblock)"; cat "$r/map" 2>/dev/null || true
  if cmp -s "$r/map" "$r/map-before"; then echo "(unchanged by the run)"
  else echo "before the run: $(tail -1 "$r/map-before" 2>/dev/null)"; fi
  section "boot variables at $ENV_OFFSET before"; cat "$r/env-before" 2>/dev/null || true
  section "boot variables at $ENV_OFFSET after"; cat "$r/env" 2>/dev/null || true
  if [ -s "$r/readback" ]; then section "read back"; cat "$r/readback"; fi
  section "system-log events"; if [ -s "$r/events" ]; then cat "$r/events"; else echo "(none)"; fi
  section "user partition"; echo "/mnt/user: $(cat "$r/user-mounted" 2>/dev/null); /tmp/user -> $(cat "$r/user-link" 2>/dev/null)"
  echo "copied: $(tr '\n' ' ' < "$r/user-copy" 2>/dev/null)"
}

board_main() {
  local pkg="" keep=""
  OPT_BAD="" OPT_WEAKPAGES="" OPT_WEAKBLOCKS="" OPT_GRAVE="" OPT_BITFLIPS=""
  local envvars="image=1 bootdelay=3 board=sim" version="v1.2r3 build"
  while [ $# -gt 0 ]; do
    case "$1" in
      -h|--help) board_usage; return 0 ;;
      --bad-blocks) OPT_BAD=$2; shift ;;
      --fail-pages) OPT_WEAKPAGES=$2; shift ;;
      --fail-erase) OPT_WEAKBLOCKS=$2; shift ;;
      --lose-pages) OPT_GRAVE=$2; shift ;;
      --bitflips) OPT_BITFLIPS=$2; shift ;;
      --env) envvars=$2; shift ;;
      --version) version=$2; shift ;;
      --console) BOARD_CONSOLE=1 ;;
      --keep) keep=$2; shift ;;
      -*) board_usage >&2; die "unknown option $1" ;;
      *) [ -z "$pkg" ] || die "only one package"; pkg=$1 ;;
    esac
    shift
  done
  mkdir -p "$CACHE"
  board_need_packages
  board_build
  board_kernel
  local scen=$CACHE/scen
  rm -rf "$scen"; mkdir -p "$scen/01-run"
  local s=$scen/01-run pkgopt readback=""
  if [ -z "$pkg" ]; then
    board_example_package "$s"
    pkgopt=pkg.tgz
    readback="0x200000:kernel.img"
  elif [ -d "$pkg" ]; then
    cp -r "$pkg" "$s/pkgdir"; pkgopt=dir:pkgdir
  elif [ -f "$pkg" ]; then
    case "$pkg" in
      *.tgz*|*.img*) ;;
      *) log "note: $pkg has neither .tgz nor .img in its name; fwapply will stage nothing" ;;
    esac
    cp "$pkg" "$s/$(basename "$pkg")"; pkgopt=$(basename "$pkg")
  else
    die "no such package: $pkg"
  fi
  board_check "${pkg:-$s/pkg.tgz}"
  cat > "$s/opts" <<EOF
NANDSIM_ARGS="$(board_nandsim_args)"
VERSION="$version"
ENV="$envvars"
PKG="$pkgopt"
READBACK="$readback"
EOF
  board_initramfs "$CACHE/initramfs.cpio.gz" "$scen"
  log "booting kernel $KVER under qemu (this takes a while without KVM)"
  local res=$CACHE/results
  board_boot "$CACHE/initramfs.cpio.gz" "$res" || return 1
  echo "simulated board: kernel $KVER, nandsim $(cat "$res/01-run/nandsim" 2>/dev/null), boot took ${BOARD_BOOT_SECONDS}s"
  board_show "$res/01-run"
  if [ -n "$keep" ]; then mkdir -p "$keep"; cp -r "$res/." "$keep/"; log "results kept in $keep"; fi
  [ "$(cat "$res/01-run/rc" 2>/dev/null)" = 0 ]
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  board_main "$@"
fi
