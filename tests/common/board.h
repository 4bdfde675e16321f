// One simulated board: a NAND chip as "/dev/mtd0" behind the simulated kernel, and the updater's
// places in a private directory of the test's own (no root needed, parallel tests never meet, no
// system-log service).
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "Board.h"
#include "child.h"
#include "sim_kernel.h"

namespace testboard {

const uint32_t kEb = 0x20000, kEnvSize = 0x20000;
const uint64_t kEnvAt = 0x3C0000;  // the boot environment partition, behind /dev/mtdblock4
const char kDev[] = "/dev/mtd0";   // the board's chip

sim::Geometry Geometry(uint32_t page = 2048, uint64_t size = 16ull << 20);
// Bytes that differ from page to page and block to block, never all 0xFF.
std::string Pattern(size_t n, unsigned seed);

// The updater's places below root, an existing directory, installed while this lives.
class Places {
 public:
  explicit Places(const std::string& root);
  ~Places() { board_install(before_); }
  Places(const Places&) = delete;

  const std::string root, work, lock, user_mount, user_link;
  std::string path(const std::string& name) const { return work + "/" + name; }
  void put(const std::string& name, const std::string& data) const { testutil::WriteAll(path(name), data); }
  std::string get(const std::string& name) const { return testutil::ReadAll(path(name)); }

 private:
  BoardPlaces places_;
  const BoardPlaces* before_;
};

class Board : public Places {
 public:
  explicit Board(const std::string& root, const sim::Geometry& g = Geometry()) : Places(root), chip(g) {
    kernel.add_mtd(0, &chip, "nand0");
  }
  sim::Chip chip;
  sim::Kernel kernel;
  void program(uint64_t at, const std::string& data);
  std::string read(uint64_t at, size_t n) {
    return std::string(reinterpret_cast<const char*>(chip.data(at)), n);
  }
  // Whether the block at `at` is a well-formed environment holding exactly entries.
  bool env_is(uint64_t at, const std::vector<std::string>& entries);
  void add_env(const std::vector<std::string>& entries);  // as /dev/mtdblock4
};

// fn on fresh places or a fresh board in a child (the NAND tools may end the process); in out
// and err their directory reads "<board>".
testutil::ChildResult InPlaces(const std::function<int(Places&)>& fn);
testutil::ChildResult OnBoard(const std::function<int(Board&)>& fn, const sim::Geometry& g = Geometry());
int Apply(Board& b);  // fwapply on the package in the working directory, as a staged run hands over
bool Exists(const std::string& path);

// The chip as a child run left it, by returning or through tool_exit.
struct Snapshot {
  std::vector<uint32_t> erased, bad;  // successful erases in order; bad blocks at the end
  uint64_t programs = 0, violations = 0, open_fds = 0;
};
// fn in a child on b's chip, fed input on standard input.
testutil::ChildResult RunOn(Board& b, const std::function<int()>& fn, Snapshot* snap = nullptr,
                            const std::string& input = std::string());
// Whole outcomes to compare: a child's status, standard output and error; op's "ret N" or
// "errno N" (when it answered -1) with its output; the errno line under a tool's report.
std::string Told(int status, const std::string& out, const std::string& err);
std::string Told(const testutil::ChildResult& r);
std::string Outcome(const std::function<int()>& op);
std::string Failure(int err, const std::string& err_text, const std::string& out_text = "");
std::string ErrLine(const std::string& tool, int err);

}  // namespace testboard
