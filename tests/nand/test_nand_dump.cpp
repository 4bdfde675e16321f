// The reader: what lands in memory or in the file for a range, its reports and ways out.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/resource.h>

#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "nand_dump.h"

using testboard::ErrLine;
using testboard::kDev;
using testboard::Pattern;
using B = testboard::Board;

namespace {

const char kAbort[] = "dump data failed,abort!";
using testboard::Told;

void Fill(B& b, uint64_t first, uint64_t n) {
  const uint32_t ps = b.chip.geometry().page_size, os = b.chip.geometry().oob_size;
  const std::string d = Pattern(n * ps, 30), o = Pattern(n * (os + 1), 31);
  ASSERT_EQ(0, b.chip.program(first * ps, reinterpret_cast<const uint8_t*>(d.data()), n * ps));
  for (uint64_t p = 0; p < n; p++)
    ASSERT_EQ(0, b.chip.program_oob(first + p, 0, reinterpret_cast<const uint8_t*>(&o[p * os + p]), os));
}
std::string At(B& b, uint64_t off, size_t n) {
  return std::string(reinterpret_cast<const char*>(b.chip.data(off)), n);
}
std::string Oob(B& b, uint64_t page) {
  return std::string(reinterpret_cast<const char*>(b.chip.oob(page)), 32);
}

// Records are page data then 32 OOB bytes; nothing lands past the length asked for.
TEST(NandDump, MemoryHoldsWhatWasAskedForAndNoMore) {
  testutil::TempDir dir;
  const uint32_t page = 4096;
  B b(dir.path(), sim::Geometry{page, 64, 64 * page, 0, 8ull << 20});
  Fill(b, 0, 4);
  auto r = testboard::RunOn(b, [&] {
    std::vector<char> buf(3 * (page + 32), 'Z');
    auto got = [&](size_t n) { return std::string(buf.data(), n + 1); };  // and the byte after
    if (nand_dump_to_mem_with_oob(buf.data(), 0, 2 * page, kDev) ||
        got(2 * page + 64) != At(b, 0, page) + Oob(b, 0) + At(b, page, page) + Oob(b, 1) + 'Z')
      return 1;
    std::fill(buf.begin(), buf.end(), 'Z');
    // Less than a page: the record is cut to the length asked for.
    return nand_dump_to_mem_with_oob(buf.data(), 0, 2048, kDev) || got(2080) != At(b, 0, 2080) + 'Z' ? 2 : 0;
  });
  EXPECT_EQ("0\nout: \nerr: ", Told(r));
}

TEST(NandDump, RangeRules) {
  testutil::TempDir d;
  B b(d.path(), sim::Geometry());
  Fill(b, 0, 64 * 64);
  b.chip.mark_bad(2);
  b.chip.mark_bad(62);
  const std::string f = d.file("out");
  auto r = testboard::RunOn(b, [&] {
    const rlimit cap = {1 << 22, 1 << 22};  // a range that never ends fails here, not on a full disk
    setrlimit(RLIMIT_FSIZE, &cap);
    // A bad block inside the range is made up for by the next block.
    if (nand_dump_nooob(f.c_str(), 0x20000, 2 * 0x20000, kDev) ||
        testutil::ReadAll(f) != At(b, 0x20000, 0x20000) + At(b, 0x60000, 0x20000))
      return 1;
    // At or past the end: nothing, and the file is emptied.
    return nand_dump_with_oob(f.c_str(), 64 * 0x20000, 2048, kDev) || !testutil::ReadAll(f).empty() ? 4 : 0;
  });
  EXPECT_EQ(0, r.status) << r.err;
}

TEST(NandDump, ReportsAndFailures) {
  testutil::TempDir d;
  const std::string f = d.file("out"), lib = "libmtd: error!: ", nd = "nanddump: error!: ";
  static std::vector<char> buf(0x40000 + 0x1000);
  char* mem = buf.data();
  const std::pair<std::function<int(B&)>, std::string> cases[] = {
      {[&](B&) { return nand_dump_nooob(f.c_str(), 100, 2048, kDev); },
       Told(1, kAbort,
            "the start address (-s parameter) is not page-aligned!\nThe pagesize of this NAND Flash is "
            "0x800.\n")},
      // The only failure handed back to the caller instead of ending the process.
      {[&](B& b) {
         b.kernel.add_node("/dev/mtd5", 90, 10, 0);
         return nand_dump_to_mem_nooob(mem, 0, 2048, "/dev/mtd5") == -1 ? 0 : 1;
       },
       Told(0, "", nd + "mtd_get_dev_info failed\n")},
      // A copy that the file cannot take midway is a failure, not a short copy.
      {[](B&) { return nand_dump_with_oob("/dev/full", 0, 0x40000, kDev); },
       Told(1, kAbort, "/dev/full: No space left on device\n")},
      {[&](B& b) { return b.kernel.fail_reads(kDev, EIO), nand_dump_to_mem_nooob(mem, 0x20000, 2048, kDev); },
       Told(1, kAbort,
            lib + "cannot read 2048 bytes from mtd0 (eraseblock 1, offset 0)\n" + ErrLine("libmtd", EIO) +
                nd + "mtd_read\n")},
  };
  for (const auto& c : cases) {
    B b(d.path(), sim::Geometry());
    testboard::Snapshot s;
    EXPECT_EQ(c.second, Told(testboard::RunOn(
                            b, [&] { return c.first(b); }, &s)));
    EXPECT_EQ(0u, s.open_fds) << c.second;
  }
}

}  // namespace
