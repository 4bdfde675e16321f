// A simulated chip as /dev/mtd0 and a way to run a NAND operation in a child process (the
// writer and the reader may end the process) while still seeing what it did to the chip.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "child.h"
#include "sim_kernel.h"

namespace nandtest {

const char kDev[] = "/dev/mtd0";

struct Board {
  explicit Board(const sim::Geometry& g = sim::Geometry()) : chip(g) { k.add_mtd(0, &chip, "nand0"); }
  uint32_t page() const { return chip.geometry().page_size; }
  uint32_t eb() const { return chip.geometry().eb_size; }
  sim::Chip chip;
  sim::Kernel k;
};

// What the chip looked like when the child ended (by returning or by exit()).
struct Snapshot {
  bool taken = false;
  std::vector<uint8_t> data, oob;
  std::vector<uint32_t> erased;  // successful erases, in order
  std::vector<uint32_t> bad;     // bad blocks at the end
  uint64_t programs = 0, violations = 0;
  size_t open_fds = 0;  // simulated descriptors left open
  uint32_t page_size = 0, oob_size = 0;

  const uint8_t* page_data(uint64_t page) const { return &data[page * page_size]; }
  const uint8_t* page_oob(uint64_t page) const { return &oob[page * oob_size]; }
};

testutil::ChildResult Run(Board& b, const std::function<int()>& fn, Snapshot* snap = nullptr,
                          const std::string& input = std::string());

// Deterministic bytes that differ from page to page and within a page.
std::vector<uint8_t> Pattern(size_t n, uint32_t seed);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);

// The error-number line of a tool whose name has `name_len` characters.
std::string ErrLine(size_t name_len, int err);

}  // namespace nandtest
