#!/bin/sh
# /init of the benchmark board: fwapply against the plainest way of doing the
# same flash work, side by side in one boot. Times go to the host like the
# system tier's results (base64 tar stream on the second serial port).
say() { echo "bench: $*"; }
# shellcheck source=../../tests/system/board-start.sh
. /lib/board-start.sh
mkdir -p /tmp/res
# Written by the host: MB DELAY_MB REPS DELAYS.
# shellcheck source=/dev/null
. /scen/opts
OFF=$((0x400000))
T=/tmp/res/times
: > $T

wait_for() {
  i=0
  while [ ! -e "$1" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  [ -e "$1" ]
}

chip() {  # nandsim parameters
  # The loop device over mtdblock0 holds the module.
  losetup -d /dev/loop0 2>/dev/null
  rmmod nandsim 2>/dev/null
  insmod "$MODDIR/nandsim.ko" "$ID_BYTES" "$@" || say "nandsim refused $*"
  { wait_for /dev/mtd0 && wait_for /dev/mtdblock0; } || say "no /dev/mtd0"
  boardtool envmake /tmp/env.bin image=1 bootdelay=3 board=sim
  dd if=/tmp/env.bin of=/dev/mtd0 bs=2048 seek=$((ENV_OFFSET / 2048)) 2>/dev/null
  boardtool loop /dev/loop0 /dev/mtdblock0 "$ENV_OFFSET" $((0x20000)) || say "loop failed"
  ln -sf /dev/loop0 /dev/mtdblock4
  echo "v1.2r3 build" > /etc/version
}

fwapply_run() {  # case, script line, image
  umount /mnt/user 2>/dev/null
  mount -t tmpfs user /mnt/user
  echo "brightness=7" > /mnt/user/settings.conf
  rm -rf /tmp/update /tmp/user; mkdir -p /tmp/update; ln -s /mnt/user /tmp/user
  echo "$2" > /tmp/update/fwupdate_1
  cp "$3" /tmp/update/
  t=$(benchtool time sh -c 'exec fwapply /tmp/update >>/tmp/res/fwapply.out 2>>/tmp/res/fwapply.err' </dev/null) \
    || say "$1: fwapply failed"
  echo "$1 $t" >> $T
  rm -rf /tmp/update
}

baseline() {  # case, command...
  c=$1; shift
  t=$(benchtool time sh -c "$*") || say "$c: baseline failed"
  echo "$c $t" >> $T
}

BLOCKS=$((MB * 8))
LEN=$((MB * 1024 * 1024))
boardtool prng 7 $LEN > /tmp/big.img
boardtool oobimg 7 $BLOCKS > /tmp/big.oob
chip
HEXOFF=$(printf '%x' $OFF); HEXLEN=$(printf '%x' $LEN)
r=1
while [ $r -le "$REPS" ]; do
  say "round $r"
  fwapply_run write "write $HEXOFF $HEXLEN big.img" /tmp/big.img
  baseline write-base "benchtool erase /dev/mtd0 $OFF $LEN && dd if=/tmp/big.img of=/dev/mtd0 bs=2048 seek=$((OFF / 2048)) 2>/dev/null"
  fwapply_run writeoob "writeoob $HEXOFF $HEXLEN big.oob" /tmp/big.oob
  baseline writeoob-base "benchtool erase /dev/mtd0 $OFF $LEN && benchtool rawwrite /dev/mtd0 $OFF /tmp/big.oob"
  r=$((r + 1))
done
rm -f /tmp/big.oob

DLEN=$((DELAY_MB * 1024 * 1024))
head -c $DLEN /tmp/big.img > /tmp/small.img; rm -f /tmp/big.img
# DELAYS holds several module parameters, one a word.
# shellcheck disable=SC2086
chip $DELAYS
r=1
while [ $r -le "$REPS" ]; do
  say "timed chip, round $r"
  fwapply_run write-delays "write $HEXOFF $(printf '%x' $DLEN) small.img" /tmp/small.img
  r=$((r + 1))
done
dmesg | tail -40 > /tmp/res/dmesg

send_results_and_power_off
