// A recording stand-in for the NAND operations, so the script engine can be checked call by
// call: every entry point notes its arguments and acts directly on one simulated chip (no bad
// block handling, no messages), which lets the engine's own decisions show on their own.
#pragma once

#include <string>
#include <vector>

#include "sim_kernel.h"

namespace fakenand {

struct Op {
  std::string name;  // "erase", "dump_mem", "dump_mem_oob", "dump_oob_file", "write_file",
                     // "write_oob_file", "write_mem"
  std::string device;
  std::string path;  // image or dump file
  long long start = 0;
  long long length = 0;  // count for erase, length otherwise
  std::string data;      // bytes written (file contents or memory block)
  size_t pending = 0;    // bytes still unflushed in stdout when the call began
};

// Flash behind every call; the test owns it.
extern sim::Chip* chip;
extern std::vector<Op> ops;
// Result of the next nand_dump_with_oob calls (the real one fails only before reading).
extern int dump_result;

void Reset(sim::Chip* c);
// Names of the operations so far, joined by blanks.
std::string Trace();

}  // namespace fakenand
