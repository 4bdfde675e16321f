#include "nand_board.h"

#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tool_report.h"

namespace nandtest {

namespace {

// What the child hands back, in memory shared with the parent; the chip's data and OOB bytes
// follow the header.
struct Shared {
  uint64_t taken, programs, violations, open_fds, n_erased, n_bad;
  uint32_t erased[4096], bad[4096];
};

Board* g_board = nullptr;
Shared* g_shared = nullptr;

void TakeSnapshot() {
  if (!g_board) return;
  Board& b = *g_board;
  g_board = nullptr;
  Shared& s = *g_shared;
  s.programs = b.chip.programs();
  s.violations = b.chip.violations();
  s.open_fds = b.k.open_fds();
  for (uint32_t e : b.chip.erased_blocks)
    if (s.n_erased < 4096) s.erased[s.n_erased++] = e;
  for (uint32_t e = 0; e < b.chip.block_count(); e++)
    if (b.chip.is_bad(e)) s.bad[s.n_bad++] = e;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(&s + 1);
  memcpy(bytes, b.chip.data(0), b.chip.geometry().size);
  memcpy(bytes + b.chip.geometry().size, b.chip.oob(0), b.chip.page_count() * b.chip.geometry().oob_size);
  s.taken = 1;
}

}  // namespace

testutil::ChildResult Run(Board& b, const std::function<int()>& fn, Snapshot* snap,
                          const std::string& input) {
  const sim::Geometry& g = b.chip.geometry();
  const size_t oob_total = static_cast<size_t>(b.chip.page_count() * g.oob_size);
  const size_t total = sizeof(Shared) + g.size + oob_total;
  void* mem = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) return testutil::ChildResult();
  Shared* shared = static_cast<Shared*>(mem);
  testutil::ChildResult r = testutil::RunChild(
      [&]() {
        g_board = &b;
        g_shared = shared;
        // The operation may end the process, through the tools' one way out.
        tool_set_exit_hook([](int status) {
          fflush(nullptr);
          TakeSnapshot();
          _exit(status & 0xFF);
        });
        int rc = fn();
        fflush(nullptr);
        TakeSnapshot();
        return rc;
      },
      input);
  if (snap) {
    *snap = Snapshot();
    snap->page_size = g.page_size;
    snap->oob_size = g.oob_size;
    snap->taken = shared->taken != 0;
    snap->programs = shared->programs;
    snap->violations = shared->violations;
    snap->open_fds = static_cast<size_t>(shared->open_fds);
    snap->erased.assign(shared->erased, shared->erased + shared->n_erased);
    snap->bad.assign(shared->bad, shared->bad + shared->n_bad);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(shared + 1);
    snap->data.assign(bytes, bytes + g.size);
    snap->oob.assign(bytes + g.size, bytes + g.size + oob_total);
  }
  munmap(mem, total);
  return r;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string ErrLine(size_t name_len, int err) {
  return std::string(name_len + 2, ' ') + "error " + std::to_string(err) + " (" + strerror(err) + ")\n";
}

}  // namespace nandtest
