// The reader on a simulated chip: what lands in memory or in the file for a range, the ECC
// reports, and every way out with its words.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "heap_check.h"
#include "nand_dump.h"

using testboard::kDev;
using testboard::Pattern;
using B = testboard::Board;

namespace {

const char kAbort[] = "dump data failed,abort!";

// Pages [first, first + n) get pattern data and OOB bytes.
void Fill(B& b, uint64_t first, uint64_t n) {
  const uint32_t ps = b.chip.geometry().page_size, os = b.chip.geometry().oob_size;
  const std::string d = Pattern(n * ps, 30), o = Pattern(n * (os + 1), 31);
  ASSERT_EQ(0, b.chip.program(first * ps, reinterpret_cast<const uint8_t*>(d.data()), n * ps));
  for (uint64_t p = 0; p < n; p++)
    ASSERT_EQ(0, b.chip.program_oob(first + p, 0, reinterpret_cast<const uint8_t*>(&o[p * os + p]), os));
}

TEST(NandDump, MemoryHoldsWhatWasAskedForAndNoMore) {
  testutil::TempDir dir;
  for (uint32_t page : {2048u, 4096u}) {
    SCOPED_TRACE(page);
    sim::Geometry g;
    g.page_size = page;
    g.eb_size = 64 * page;
    B b(dir.path(), g);
    Fill(b, 0, 4);
    auto r = testboard::RunOn(b, [&] {
      // Records are page data then 32 OOB bytes; the caller's buffer is sized by the length
      // asked for, whatever the page size, and nothing is written past it.
      std::vector<char> buf(3 * (page + 32), 0x5A);
      if (nand_dump_to_mem_nooob(buf.data(), page, 2048, kDev) != 0) return 1;
      if (memcmp(buf.data(), b.chip.data(page), 2048) || buf[2048] != 0x5A) return 2;
      if (nand_dump_to_mem_with_oob(buf.data(), 0, 2 * page, kDev) != 0) return 3;
      if (memcmp(buf.data(), b.chip.data(0), page) || memcmp(&buf[page], b.chip.oob(0), 32) ||
          memcmp(&buf[page + 32], b.chip.data(page), page) ||
          memcmp(&buf[2 * page + 32], b.chip.oob(1), 32) || buf[2 * page + 64] != 0x5A)
        return 4;
      std::fill(buf.begin(), buf.end(), 0x5A);
      if (nand_dump_to_mem_with_oob(buf.data(), 0, 2048, kDev) != 0) return 5;
      if (memcmp(buf.data(), b.chip.data(0), 2048) ||
          memcmp(&buf[2048], page == 2048 ? b.chip.oob(0) : b.chip.data(2048), 32) || buf[2080] != 0x5A)
        return 6;
      char* exact = static_cast<char*>(malloc(2048));  // the sanitizer build sees any overrun
      int rc = nand_dump_to_mem_nooob(exact, 0, 2048, kDev);
      free(exact);
      return rc ? 7 : 0;
    });
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
  }
}

TEST(NandDump, RangeRules) {
  testutil::TempDir d;
  B b(d.path(), sim::Geometry());
  Fill(b, 0, 64 * 64);
  b.chip.mark_bad(2);
  b.chip.mark_bad(62);
  const std::string f = d.file("out");
  auto r = testboard::RunOn(b, [&] {
    // A bad block inside the range is made up for by the next block.
    if (nand_dump_nooob(f.c_str(), 0x20000, 2 * 0x20000, kDev) != 0) return 1;
    std::string v = testutil::ReadAll(f);
    if (v.size() != 2u * 0x20000 || memcmp(v.data(), b.chip.data(0x20000), 0x20000) ||
        memcmp(&v[0x20000], b.chip.data(0x60000), 0x20000))
      return 2;
    // A length that ends inside a page delivers that page whole.
    if (nand_dump_nooob(f.c_str(), 0, 2049, kDev) != 0 || testutil::ReadAll(f).size() != 4096) return 3;
    // Near the device end the extension stops there: fewer pages.
    if (nand_dump_nooob(f.c_str(), 61 * 0x20000, 3 * 0x20000, kDev) != 0) return 4;
    if (testutil::ReadAll(f).size() != 2u * 0x20000) return 5;
    // At or past the end: nothing, and the file is emptied.
    if (nand_dump_with_oob(f.c_str(), 64 * 0x20000, 2048, kDev) != 0 || !testutil::ReadAll(f).empty())
      return 6;
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.err;
}

// What a child run ended with and said.
std::string Told(int status, const std::string& out, const std::string& err) {
  return std::to_string(status) + "\nout: " + out + "\nerr: " + err;
}
std::string Told(const testutil::ChildResult& r) { return Told(r.status, r.out, r.err); }

TEST(NandDump, EccCountersAreReportedAndThePageDelivered) {
  testutil::TempDir dir;
  B b(dir.path(), sim::Geometry());
  Fill(b, 0, 64);
  b.chip.bitflips(1, 2, 0);
  b.chip.bitflips(3, 1, 4);
  std::vector<char> buf(4 * 2080);
  EXPECT_EQ(Told(0, "",
                 "ECC: 2 corrected bitflip(s) at offset 0x00000800\n"
                 "ECC: 4 uncorrectable bitflip(s) at offset 0x00001800\n"
                 "ECC: 1 corrected bitflip(s) at offset 0x00001800\n"),
            Told(testboard::RunOn(b, [&] {
              return nand_dump_to_mem_nooob(buf.data(), 0, 4 * 2048, kDev) != 0 ||
                     memcmp(buf.data(), b.chip.data(0), 8192);
            })));
  // Copies with OOB read raw: the pages as they are, no ECC verdicts.
  EXPECT_EQ(
      Told(0, "", ""),
      Told(testboard::RunOn(b, [&] { return nand_dump_to_mem_with_oob(buf.data(), 0, 4 * 2048, kDev); })));
  b.kernel.has_eccstats = false;
  EXPECT_EQ(Told(0, "", "No ECC status information available: Inappropriate ioctl for device\n"),
            Told(testboard::RunOn(b, [&] { return nand_dump_to_mem_nooob(buf.data(), 0, 2048, kDev); })));
}

// A kernel whose second ECC counter request fails: the one after the first page.
const kernel_ops* g_under = nullptr;
int g_ecc_calls = 0;
int SecondEccFails(int fd, unsigned long request, void* arg) {
  if (request == ECCGETSTATS && ++g_ecc_calls == 2) return errno = EIO, -1;
  return g_under->ioctl(fd, request, arg);
}

TEST(NandDump, Failures) {
  testutil::TempDir d;
  const std::string f = d.file("out"), lib = "libmtd: error!: ", nd = "nanddump: error!: ";
  static std::vector<char> buf(0x40000 + 0x1000);
  char* mem = buf.data();
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  const bool have_tty = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0;
  const std::string tty = have_tty ? ptsname(master) : "";
  const struct {
    std::function<int(B&)> run;
    int status;
    std::string out, err;
  } cases[] = {
      {[&](B&) { return nand_dump_nooob(f.c_str(), 100, 2048, kDev); }, 1, kAbort,
       "the start address (-s parameter) is not page-aligned!\nThe pagesize of this NAND Flash is 0x800.\n"},
      {[&](B&) { return nand_dump_to_mem_nooob(mem, 0, 2048, "/dev/mtd9"); }, 1, "",
       "/dev/mtd9: No such file or directory\n"},
      // The only failure handed back to the caller instead of ending the process.
      {[&](B& b) {
         b.kernel.add_node("/dev/mtd5", 90, 10, 0);
         return nand_dump_to_mem_nooob(mem, 0, 2048, "/dev/mtd5") == -1 ? 0 : 1;
       },
       0, "", nd + "mtd_get_dev_info failed\n"},
      {[&](B&) { return nand_dump_nooob(d.file("no/such").c_str(), 0, 2048, kDev); }, 1, kAbort,
       d.file("no/such") + ": No such file or directory\n"},
      // A copy that the file cannot take is a failure, not a short copy: at its end, or midway.
      {[](B&) { return nand_dump_with_oob("/dev/full", 0, 2048, kDev); }, 1, kAbort,
       "/dev/full: No space left on device\n"},
      {[](B&) { return nand_dump_with_oob("/dev/full", 0, 0x40000, kDev); }, 1, kAbort,
       "/dev/full: No space left on device\n"},
      {[&](B&) { return have_tty ? nand_dump_nooob(tty.c_str(), 0, 2048, kDev) : 1; }, 1,
       have_tty ? kAbort : "",
       have_tty ? "Not printing binary garbage to tty. Use '-a'\nor '--forcebinary' to override.\n" : ""},
      {[&](B& b) { return b.kernel.has_mtdfilemode = false, nand_dump_to_mem_with_oob(mem, 0, 2048, kDev); },
       1, kAbort, nd + "MTDFILEMODE\n" + testboard::ErrLine("nanddump", ENOTTY)},
      {[&](B& b) { return b.kernel.fail_reads(kDev, EIO), nand_dump_to_mem_nooob(mem, 0x20000, 2048, kDev); },
       1, kAbort,
       lib + "cannot read 2048 bytes from mtd0 (eraseblock 1, offset 0)\n" +
           testboard::ErrLine("libmtd", EIO) + nd + "mtd_read\n"},
      {[&](B& b) {
         return b.kernel.fail_ioctl(MEMGETBADBLOCK, EIO), nand_dump_to_mem_nooob(mem, 0, 2048, kDev);
       },
       1, kAbort,
       lib + "MEMGETBADBLOCK ioctl failed for eraseblock 0 (mtd0)\n" + testboard::ErrLine("libmtd", EIO) +
           nd + "libmtd: mtd_is_bad\n"},
      {[&](B&) {
         kernel_ops wrap = *g_kernel;
         wrap.ioctl = SecondEccFails;
         g_under = kernel_install(&wrap);
         return nand_dump_to_mem_nooob(mem, 0, 4096, kDev);
       },
       1, kAbort, "ioctl(ECCGETSTATS): Input/output error\n"},
  };
  for (const auto& c : cases) {
    B b(d.path(), sim::Geometry());
    testboard::Snapshot s;
    EXPECT_EQ(Told(c.status, c.out, c.err), Told(testboard::RunOn(
                                                b, [&] { return c.run(b); }, &s)));
    EXPECT_EQ(0u, s.open_fds) << c.err;
  }
  if (master >= 0) close(master);
}

// Every return releases the MTD handle, the descriptors and the buffers, file or memory alike.
TEST(NandDump, NoReturnLeavesHeapBehind) {
  testutil::TempDir d;
  B b(d.path(), sim::Geometry());
  b.kernel.add_node("/dev/mtd5", 90, 10, 0);
  std::vector<char> buf(2 * 2080);
  EXPECT_FALSE(testutil::LeavesHeap([&] {
    nand_dump_to_mem_with_oob(buf.data(), 0, 4096, kDev);
    nand_dump_nooob(d.file("out").c_str(), 0, 4096, kDev);
    nand_dump_to_mem_nooob(buf.data(), 0, 2048, "/dev/mtd5");
    b.kernel.clear_calls();
  }));
}

}  // namespace
