#!/bin/sh
# /init of the simulated board: every scenario under /scen in order, each on a freshly loaded
# nandsim chip, then the results to the host.
say() { echo "board: $*"; }
# shellcheck source=board-start.sh
. /lib/board-start.sh

wait_for() { i=0; while [ ! -e "$1" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done; [ -e "$1" ]; }

run_scenario() {  # scenario dir, result dir
  S=$1 R=$2
  NANDSIM_ARGS="" VERSION="v1.2r3 build" ENV="image=1" PKG="" READBACK="" OOBREADBACK="" COPYCHECK="" ERASED="" ARG=""
  NOSYSFS="" FLIPS="" PREWRITE="" SNAP="" TIMEOUT=600 MAPBEFORE=1 PRE="" POST=""
  # shellcheck source=/dev/null
  . "$S/opts"
  mkdir -p "$R"
  say "scenario $(basename "$S"): nandsim $NANDSIM_ARGS"
  # NANDSIM_ARGS holds any number of module parameters, one a word.
  # shellcheck disable=SC2086
  if ! insmod "$MODDIR/nandsim.ko" "$ID_BYTES" $NANDSIM_ARGS 2>"$R/insmod.err"; then
    say "nandsim refused its parameters"; echo "nandsim failed" > "$R/board-error"; return
  fi
  echo "$NANDSIM_ARGS" > "$R/nandsim"
  if ! wait_for /dev/mtd0 || ! wait_for /dev/mtdblock0; then
    echo "no /dev/mtd0 after loading nandsim" > "$R/board-error"; rmmod nandsim; return
  fi

  # The boot environment goes in page by page through the character device, a path that shares
  # nothing with the updater. ENV is one NAME=VALUE a word.
  # shellcheck disable=SC2086
  boardtool envmake /tmp/env.bin $ENV
  dd if=/tmp/env.bin of=/dev/mtd0 bs=2048 seek=$((ENV_OFFSET / 2048)) 2>/dev/null \
    || echo "writing the boot environment failed" > "$R/board-error"
  boardtool envprint /dev/mtd0 "$ENV_OFFSET" > "$R/env-before"
  # The board's environment partition, as a window onto the chip.
  boardtool loop /dev/loop0 /dev/mtdblock0 "$ENV_OFFSET" $((0x20000)) \
    || echo "loop device setup failed" > "$R/board-error"
  ln -sf /dev/loop0 /dev/mtdblock4
  for pw in $PREWRITE; do  # offset:file, written like the environment
    dd if="$S/${pw#*:}" of=/dev/mtd0 bs=2048 seek=$((${pw%%:*} / 2048)) 2>/dev/null \
      || echo "writing ${pw#*:} failed" > "$R/board-error"
  done
  for fl in $FLIPS; do boardtool flip /dev/mtd0 "$fl" || echo "flipping bits at $fl failed" > "$R/board-error"; done
  # A map reads the whole chip (seconds under emulation); the system tier knows its start.
  [ -n "$MAPBEFORE" ] && boardtool map /dev/mtd0 > "$R/map-before"
  # SNAP: offset:length ranges, digested before and after the run.
  for sn in $SNAP; do boardtool digest /dev/mtd0 "${sn%%:*}" "${sn#*:}" >> "$R/snap-before" 2>&1; done

  echo "$VERSION" > /etc/version
  mount -t tmpfs user /mnt/user
  echo "brightness=7" > /mnt/user/settings.conf
  echo "calibration 42" > /mnt/user/calib.dat

  # As on a booted board, so that fwapply's "rm -r /tmp/user" finds something to remove.
  ln -s /mnt/user /tmp/user
  syslog-standin > "$R/events" 2>&1 &
  SYSLOG_PID=$!
  i=0; while [ ! -S /tmp/ZQ_SYSTEMLOG ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done

  case "$PKG" in
    "") ARG=${ARG:-/tmp/none} ;;
    dir:*) rm -rf /tmp/update; mkdir -p /tmp/update; cp -r "$S/${PKG#dir:}/." /tmp/update/; ARG=/tmp/update ;;
    *) cp "$S/$PKG" "/tmp/$PKG"; ARG=/tmp/$PKG ;;
  esac
  # What the scenario finds on the board before the run (PRE) and looks at after it (POST).
  eval "$PRE"
  echo "fwapply $ARG" > "$R/command"
  say "running fwapply $ARG"
  # A board without sysfs: the MTD layer has only /proc/mtd to find the chip.
  [ -n "$NOSYSFS" ] && { umount /sys || echo "umount /sys failed" > "$R/board-error"; }
  start=$(date +%s)
  timeout "$TIMEOUT" fwapply "$ARG" > "$R/stdout" 2> "$R/stderr" < /dev/null
  echo $? > "$R/rc"
  eval "$POST"
  [ -d /sys/class ] && echo mounted > "$R/sysfs-during" || echo absent > "$R/sysfs-during"
  [ -n "$NOSYSFS" ] && mount -t sysfs sys /sys
  echo $(( $(date +%s) - start )) > "$R/seconds"
  sync
  sleep 0.3
  kill $SYSLOG_PID 2>/dev/null; wait $SYSLOG_PID 2>/dev/null

  boardtool map /dev/mtd0 > "$R/map"
  for sn in $SNAP; do boardtool digest /dev/mtd0 "${sn%%:*}" "${sn#*:}" >> "$R/snap-after" 2>&1; done
  boardtool envprint /dev/mtd0 "$ENV_OFFSET" > "$R/env"
  # READBACK, OOBREADBACK: offset:file; COPYCHECK: dst:src:length; ERASED: offset:length.
  {
    for rb in $READBACK; do boardtool cmp /dev/mtd0 "${rb%%:*}" "$S/${rb#*:}"; done
    for rb in $OOBREADBACK; do boardtool cmpoob /dev/mtd0 "${rb%%:*}" "$S/${rb#*:}"; done
    for cc in $COPYCHECK; do boardtool cmpcopy /dev/mtd0 "$cc"; done
    for er in $ERASED; do boardtool erased /dev/mtd0 "${er%%:*}" "${er#*:}"; done
  } > "$R/readback" 2>&1
  ls /tmp/update/user > "$R/user-copy" 2>&1
  readlink /tmp/user > "$R/user-link" 2>&1
  grep -q ' /mnt/user ' /proc/mounts && echo mounted > "$R/user-mounted" || echo unmounted > "$R/user-mounted"

  # Leave nothing behind for the next scenario.
  umount /mnt/user /tmp/update 2>/dev/null
  rm -rf /tmp/update /tmp/user /tmp/pkg* /tmp/ZQ_SYSTEMLOG /tmp/ZQ_FW_UPDATE_SENDER /dev/mtdblock4
  losetup -d /dev/loop0 2>/dev/null
  rmmod nandsim 2>/dev/null || say "rmmod nandsim failed"
}

mkdir -p /tmp/res
for s in /scen/*/; do
  [ -f "$s/opts" ] || continue
  run_scenario "${s%/}" "/tmp/res/$(basename "$s")"
done

send_results_and_power_off
