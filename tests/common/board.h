// One simulated board: a NAND chip as "/dev/mtd0" behind the simulated kernel, and the updater's
// places (working directory, run lock, user partition) in a private directory of the test's own,
// so that an ordinary user runs them and parallel tests never meet. No system-log service.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "Board.h"
#include "child.h"
#include "sim_kernel.h"

namespace testboard {

const uint32_t kEb = 0x20000;
const uint32_t kEnvSize = 0x20000;
const uint64_t kEnvAt = 0x3C0000;  // the boot environment partition, behind /dev/mtdblock4

sim::Geometry Geometry(uint32_t page = 2048, uint64_t size = 16ull << 20);

// Bytes that differ from page to page and block to block, never all 0xFF.
std::string Pattern(size_t n, unsigned seed);

// The updater's places below root, an existing directory, installed while this lives.
class Places {
 public:
  explicit Places(const std::string& root);
  ~Places();
  Places(const Places&) = delete;

  const std::string root, work, lock, user_mount, user_link;
  std::string path(const std::string& name) const { return work + "/" + name; }
  // In the working directory.
  void put(const std::string& name, const std::string& data) const { testutil::WriteAll(path(name), data); }
  std::string get(const std::string& name) const { return testutil::ReadAll(path(name)); }

 private:
  BoardPlaces places_;
  const BoardPlaces* before_;
};

class Board : public Places {
 public:
  explicit Board(const std::string& root, const sim::Geometry& g = Geometry());

  sim::Chip chip;
  sim::Kernel kernel;

  void program(uint64_t at, const std::string& data);
  std::string read(uint64_t at, size_t n);
  // Whether the block at `at` is a well-formed environment holding exactly entries.
  bool env_is(uint64_t at, const std::vector<std::string>& entries);
  // The boot environment partition as /dev/mtdblock4, holding entries.
  void add_env(const std::vector<std::string>& entries);
};

// Runs fn on fresh places or a fresh board in a child (the NAND tools may end the process) and
// removes their directory afterwards; in out and err that directory reads "<board>".
testutil::ChildResult InPlaces(const std::function<int(Places&)>& fn);
testutil::ChildResult OnBoard(const std::function<int(Board&)>& fn, const sim::Geometry& g = Geometry());

// fwapply on the unpacked package in the working directory, as a staged run hands over.
int Apply(Board& b);

bool Exists(const std::string& path);
// Whether text holds line as one whole line of its own.
bool HasLine(const std::string& text, const std::string& line);

const char kDev[] = "/dev/mtd0";  // the board's chip

// The chip as a child run left it, by returning or through tool_exit.
struct Snapshot {
  std::vector<uint32_t> erased, bad;  // successful erases in order; bad blocks at the end
  uint64_t programs = 0, violations = 0, open_fds = 0;
};
// fn in a child on b's chip, fed input on standard input; the NAND tools may end the process.
testutil::ChildResult RunOn(Board& b, const std::function<int()>& fn, Snapshot* snap = nullptr,
                            const std::string& input = std::string());
// A child run's status, standard output and standard error, for comparing whole outcomes.
std::string Told(int status, const std::string& out, const std::string& err);
std::string Told(const testutil::ChildResult& r);

// op in a child, for comparing whole outcomes: "ret N", or "errno N" when it answered -1, then
// what it wrote to standard output and to standard error.
std::string Outcome(const std::function<int()>& op);
// The outcome of a call that failed with err, writing err_text and out_text.
std::string Failure(int err, const std::string& err_text, const std::string& out_text = "");
// The errno line that a tool's report puts under its message.
std::string ErrLine(const std::string& tool, int err);

}  // namespace testboard
