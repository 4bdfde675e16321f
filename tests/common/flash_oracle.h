// The flash-safety oracle: given the chip before and after a run of an update script, the
// script, the package, the injected faults and what the run printed, it decides whether the
// run kept the updater's promises. It does not replay expected outputs case by case: it walks
// the script's lines through a model of what each line may change (exact bytes where the
// outcome is determined, a set of possible block contents where a fault leaves a choice) and
// lets the run's own messages pick among the outcomes the model permits.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sim {
class Chip;
class Kernel;
}  // namespace sim

namespace oracle {

struct ChipState {
  uint32_t page_size = 2048, oob_size = 64, eb_size = 0x20000;
  std::vector<uint8_t> data, oob;  // the whole chip
  std::vector<uint8_t> bad;        // one mark per eraseblock
  uint64_t violations = 0;         // programs over bytes that were not erased
  uint32_t blocks() const { return static_cast<uint32_t>(bad.size()); }
};
void Capture(sim::Chip& chip, ChipState* into);  // reuses into's buffers

struct Faults {
  struct At {
    uint64_t at;     // a page (program), an eraseblock (erase)
    int err, times;  // times -1: always
  };
  std::vector<At> program, erase;
  int bbquery_err = 0;          // MEMGETBADBLOCK fails with this errno (0: never) ...
  int bbquery_times = 0;        // ... this often (-1: always)
  std::vector<uint64_t> flips;  // pages that read with bitflips
};

// The board the cases run on: the chip's partitions as its kernel lists them (the boot
// environment the driver reads in the last block); Arm injects the faults (times 0 disarms).
void Board(sim::Kernel& k, sim::Chip& chip);
void Arm(sim::Kernel& k, sim::Chip& chip, const Faults& f, bool on = true);

struct RunRecord {
  ChipState before, after;
  std::string script;    // the script file as stored
  std::string dir;       // the package directory (the script names files relative to it)
  std::string cwd;       // where a relative chkver file is looked up
  std::string proc_mtd;  // what ifnpart matches against
  Faults faults;
  std::string out, err;
  int status = 0;  // exit status; -1 when the run did not end by itself
  int signal = 0;
  bool no_slot = false;  // the boot environment names no slot: no script may run at all
  // Blocks the run may have changed (empty: all): a harness that knows the others kept their
  // bytes saves comparing them; they must still be blocks the model allows to keep theirs.
  std::vector<uint8_t> touched;
};

// "" when the run kept every promise; else the first broken one found.
std::string Check(const RunRecord& run);

// Independent of the updater's own routine (its table is made bit by bit here).
uint32_t Crc32(const uint8_t* p, size_t n);
// A well-formed boot environment block of size bytes holding entries.
std::string EnvBlock(const std::vector<std::string>& entries, uint32_t size = 0x20000);

}  // namespace oracle
