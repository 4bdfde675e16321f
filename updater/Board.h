// The places of the board that the updater uses: device nodes, working directory, user partition,
// run lock and system-log channels. Tests and fwsim put them elsewhere with board_install().
#pragma once

struct BoardPlaces {
  const char* work_dir;     // "/tmp/update": the package, staged in RAM
  const char* user_mount;   // "/mnt/user"
  const char* user_link;    // "/tmp/user": where the saved user files stay reachable
  const char* run_lock;     // "/tmp/fwapply.lock"
  const char* chip;         // "/dev/mtd0": the whole NAND chip, the scripts' address space
  const char* env_block;    // "/dev/mtdblock4": the boot environment
  const char* log_local;    // "/tmp/ZQ_FW_UPDATE_SENDER": this program's end of the datagram channel
  const char* log_service;  // "/tmp/ZQ_SYSTEMLOG"; null: no system-log service, no events sent
  int log_queue_key;        // 0x106
};

// The board's own places, installed unless a test or fwsim replaced them.
const BoardPlaces& board_default();
// Installs places (null restores the board's own) and returns the table installed before. The
// table is used, not copied: it must outlive its installation.
const BoardPlaces* board_install(const BoardPlaces* places);
const BoardPlaces& board();
