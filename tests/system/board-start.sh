# Sourced by the board's /init scripts (say() is theirs): file systems, every module but nandsim,
# which each scenario loads with its own parameters, and the chip's identity.
# shellcheck shell=sh
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mkdir -p /mnt/user
# Keep kernel chatter off the console that the host shows to the user.
echo 1 > /proc/sys/kernel/printk

MODDIR=/lib/modules
while read -r m; do
  case $m in ""|nandsim.ko) continue ;; esac
  insmod "$MODDIR/$m" 2>/dev/null || say "insmod $m failed"
done < "$MODDIR/order"

# 2 KiB pages, 128 KiB eraseblocks, 64 OOB bytes, 128 MiB; both are for the /init sourcing this.
# shellcheck disable=SC2034
ID_BYTES="id_bytes=0xec,0xa1,0x00,0x15" ENV_OFFSET=$((0x3c0000))

# Sends /tmp/res to the host (a base64 tar stream on the second serial port) and powers off.
send_results_and_power_off() {
  say "sending results"
  stty -F /dev/ttyS1 raw -echo 2>/dev/null
  {
    echo "===BOARD-RESULTS-BEGIN==="
    tar cf - -C /tmp/res . | gzip | base64
    echo "===BOARD-RESULTS-END==="
  } > /dev/ttyS1
  sync
  say "done"
  poweroff -f
}
