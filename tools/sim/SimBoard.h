// The board of scripts/board.sh on the simulated chip and kernel: a chip prepared as the board
// powers on, one run of fwapply's engine on it in a child process, and the board's report lines.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sim_chip.h"

struct SimOptions {
  uint64_t chip_size = 128ull << 20;
  // Bytes of chip memory behind the chip_size that the kernel shows (addresses wrap around it);
  // 0: all of it. A run that touches only low places forks and copies far less this way.
  uint64_t backing = 0;
  uint32_t page_size = 2048;
  uint32_t oob_size = 64;
  std::vector<uint64_t> bad_blocks;
  std::vector<std::pair<uint64_t, long>> fail_pages;  // page, programs it takes before failing
  std::vector<std::pair<uint64_t, long>> fail_erase;  // eraseblock, erases it takes before failing
  uint32_t bitflips = 0;                              // corrected bitflips counted per page read
  std::string env = "image=1 bootdelay=3 board=sim";  // NAME=VALUE words
  std::string version = "v1.2r3 build";
};

// Where the boot loader keeps its environment on the board, and the block's size.
const uint64_t kSimEnvAt = 0x3c0000;
const uint32_t kSimEnvSize = 0x20000;

sim::Geometry SimGeometry(const SimOptions& options);
// The smallest backing (a power of two from 4 MiB) that holds end, the environment and every
// place options name, so that no address of the run wraps.
uint64_t SimBacking(const SimOptions& options, uint64_t end);
// The boot environment block holding the words of text, as the boot loader stores it.
std::string SimEnvBlock(const std::string& text);
// Programs the environment and arms the faults of options on a fresh chip.
void SimPrepare(const SimOptions& options, sim::Chip* chip);

// Flash map as scripts/board.sh prints it ('.' erased, 'W' data, 'B' bad, '?' unreadable).
// Blocks past the chip's backing are shown erased: a run never reaches them.
std::string SimMapText(const sim::Chip& chip, uint64_t chip_size);
// The boot variables at kSimEnvAt as scripts/board.sh prints them.
std::string SimEnvText(const sim::Chip& chip);

// What the child hands back after the engine ran: status is fwapply's exit status. Runs with
// the chip revived, in the child, so it sees the flash the run left.
typedef std::function<std::string(sim::Chip& chip, int status)> SimAfter;

struct SimRun {
  int status = -1;  // fwapply's exit status; -1 when the child did not finish
  std::string out, err, result;
  std::vector<uint64_t> op_addresses;  // chip address of every erase and page program, in order
};

// Runs the boot slot's script of the package unpacked in dir on a copy of chip (as a forked
// child, so the NAND tools' exits and the chip's changes stay there), with power cut after cut
// operations (none when cut is negative). scratch is a private directory for the run's files.
// The same in two halves, so that several runs go at once: each needs a scratch of its own.
struct SimPending {
  int pid;
  std::string scratch;
  bool record_ops;
};
SimPending SimStart(const SimOptions& options, sim::Chip& chip, const std::string& dir,
                    const std::string& scratch, long long cut, const SimAfter& after,
                    bool record_ops = false);
SimRun SimWait(const SimPending& pending);
SimRun SimRunOnce(const SimOptions& options, sim::Chip& chip, const std::string& dir,
                  const std::string& scratch, long long cut, const SimAfter& after, bool record_ops = false);
