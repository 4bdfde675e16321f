#include "nand_board.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tool_report.h"

namespace nandtest {

namespace {

Board* g_board = nullptr;
std::string g_path;

void put64(FILE* f, uint64_t v) { fwrite(&v, sizeof v, 1, f); }
uint64_t get64(const std::vector<uint8_t>& v, size_t* pos) {
  uint64_t x = 0;
  if (*pos + sizeof x <= v.size()) memcpy(&x, &v[*pos], sizeof x);
  *pos += sizeof x;
  return x;
}

void TakeSnapshot() {
  if (!g_board) return;
  Board& b = *g_board;
  g_board = nullptr;
  FILE* f = fopen(g_path.c_str(), "wb");
  if (!f) return;
  const sim::Geometry& g = b.chip.geometry();
  put64(f, b.chip.programs());
  put64(f, b.chip.violations());
  put64(f, b.k.open_fds());
  put64(f, b.chip.erased_blocks.size());
  for (uint32_t e : b.chip.erased_blocks) put64(f, e);
  std::vector<uint32_t> bad;
  for (uint32_t e = 0; e < b.chip.block_count(); e++)
    if (b.chip.is_bad(e)) bad.push_back(e);
  put64(f, bad.size());
  for (uint32_t e : bad) put64(f, e);
  fwrite(b.chip.data(0), 1, g.size, f);
  fwrite(b.chip.oob(0), 1, b.chip.page_count() * g.oob_size, f);
  fclose(f);
}

}  // namespace

testutil::ChildResult Run(Board& b, const std::function<int()>& fn, Snapshot* snap, const std::string& input) {
  testutil::TempDir dir;
  const std::string path = dir.file("snapshot");
  testutil::ChildResult r = testutil::RunChild(
      [&]() {
        g_board = &b;
        g_path = path;
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
    std::vector<uint8_t> v = ReadFile(path);
    const sim::Geometry& g = b.chip.geometry();
    *snap = Snapshot();
    snap->page_size = g.page_size;
    snap->oob_size = g.oob_size;
    size_t pos = 0;
    snap->programs = get64(v, &pos);
    snap->violations = get64(v, &pos);
    snap->open_fds = static_cast<size_t>(get64(v, &pos));
    for (uint64_t n = get64(v, &pos); n > 0 && pos < v.size(); n--)
      snap->erased.push_back(static_cast<uint32_t>(get64(v, &pos)));
    for (uint64_t n = get64(v, &pos); n > 0 && pos < v.size(); n--)
      snap->bad.push_back(static_cast<uint32_t>(get64(v, &pos)));
    const size_t oob_total = static_cast<size_t>(b.chip.page_count() * g.oob_size);
    if (pos + g.size + oob_total == v.size()) {
      snap->data.assign(v.begin() + pos, v.begin() + pos + g.size);
      snap->oob.assign(v.begin() + pos + g.size, v.end());
      snap->taken = true;
    }
  }
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
