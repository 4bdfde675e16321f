// The reader on a simulated chip, and the copy of a range with its OOB bytes through a file into
// another range, as the dupoob command does it.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "nand_board.h"
#include "nand_dump.h"
#include "nand_write.h"

using nandtest::Board;
using nandtest::kDev;
using nandtest::Pattern;
using nandtest::Snapshot;

namespace {

const char kAbort[] = "dump data failed,abort!";

// Fills pages [first, first + n) with pattern data and 64 pattern OOB bytes each.
void Fill(Board& b, uint64_t first, uint64_t n, uint32_t seed) {
  const uint32_t ps = b.page(), os = b.chip.geometry().oob_size;
  for (uint64_t p = first; p < first + n; p++) {
    std::vector<uint8_t> d = Pattern(ps, seed + static_cast<uint32_t>(p)), o = Pattern(os, ~static_cast<uint32_t>(p) ^ seed);
    ASSERT_EQ(0, b.chip.program(p * ps, d.data(), ps));
    ASSERT_EQ(0, b.chip.program_oob(p, 0, o.data(), os));
  }
}

TEST(NandDump, MemoryDestinationHoldsWhatWasAskedFor) {
  {
    Board b;
    Fill(b, 0, 4, 30);
    std::vector<char> buf(3 * 2080, 0x5A);
    auto r = nandtest::Run(b, [&] {
      if (nand_dump_to_mem_nooob(buf.data(), 2048, 2048, kDev) != 0) return 1;
      if (memcmp(buf.data(), b.chip.data(2048), 2048) != 0 || buf[2048] != 0x5A) return 2;
      if (nand_dump_to_mem_with_oob(buf.data(), 0, 4096, kDev) != 0) return 3;
      if (memcmp(buf.data(), b.chip.data(0), 2048) || memcmp(&buf[2048], b.chip.oob(0), 32) ||
          memcmp(&buf[2080], b.chip.data(2048), 2048) || memcmp(&buf[4128], b.chip.oob(1), 32) ||
          buf[4160] != 0x5A)
        return 4;
      return 0;
    });
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
  }
  {  // Pages larger than the buffer: the exact-size buffer is not overrun.
    sim::Geometry g;
    g.page_size = 4096;
    g.eb_size = 256 * 1024;
    Board b(g);
    Fill(b, 0, 1, 31);
    auto r = nandtest::Run(b, [&] {
      std::vector<char> guarded(4096 + 2080, 0x5A);
      if (nand_dump_to_mem_nooob(guarded.data(), 0, 2048, kDev) != 0) return 1;
      if (memcmp(guarded.data(), b.chip.data(0), 2048) || guarded[2048] != 0x5A) return 2;
      if (nand_dump_to_mem_with_oob(guarded.data(), 0, 2048, kDev) != 0) return 3;
      if (memcmp(guarded.data(), b.chip.data(0), 2048) || memcmp(&guarded[2048], b.chip.data(2048), 32) ||
          guarded[2080] != 0x5A)
        return 4;
      char* exact = static_cast<char*>(malloc(2048));  // the sanitizer build sees any overrun
      int rc = nand_dump_to_mem_nooob(exact, 0, 2048, kDev);
      free(exact);
      return rc ? 5 : 0;
    });
    EXPECT_EQ(0, r.status) << r.err;
  }
}

TEST(NandDump, RangeRules) {
  Board b;
  Fill(b, 0, 64 * 64, 40);
  b.chip.mark_bad(2);
  b.chip.mark_bad(62);
  testutil::TempDir d;
  const std::string f = d.file("out");
  auto r = nandtest::Run(b, [&] {
    // A bad block inside the range is made up for by the next block.
    if (nand_dump_nooob(f.c_str(), 0x20000, 2 * 0x20000, kDev) != 0) return 1;
    std::vector<uint8_t> v = nandtest::ReadFile(f);
    if (v.size() != 2u * 0x20000 || memcmp(v.data(), b.chip.data(0x20000), 0x20000) ||
        memcmp(&v[0x20000], b.chip.data(0x60000), 0x20000))
      return 2;
    // A length that ends inside a page delivers that page whole.
    if (nand_dump_nooob(f.c_str(), 0, 2049, kDev) != 0 || nandtest::ReadFile(f).size() != 4096) return 3;
    // Near the device end the extension stops there: fewer pages.
    if (nand_dump_nooob(f.c_str(), 61 * 0x20000, 3 * 0x20000, kDev) != 0) return 4;
    if (nandtest::ReadFile(f).size() != 2u * 0x20000) return 5;
    // At or past the end: nothing, and the file is emptied.
    if (nand_dump_with_oob(f.c_str(), 64 * 0x20000, 2048, kDev) != 0 || !nandtest::ReadFile(f).empty()) return 6;
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.err;
}

TEST(NandDump, EccCountersAreReportedAndThePageDelivered) {
  Board b;
  Fill(b, 0, 64, 50);
  b.chip.bitflips(1, 2, 0);
  b.chip.bitflips(3, 1, 4);
  std::vector<char> buf(4 * 2048);
  auto r = nandtest::Run(b, [&] {
    return nand_dump_to_mem_nooob(buf.data(), 0, 4 * 2048, kDev) != 0 || memcmp(buf.data(), b.chip.data(0), 8192);
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("ECC: 2 corrected bitflip(s) at offset 0x00000800\n"
            "ECC: 4 uncorrectable bitflip(s) at offset 0x00001800\n"
            "ECC: 1 corrected bitflip(s) at offset 0x00001800\n",
            r.err);
  // Copies with OOB read raw: the pages as they are, no ECC verdicts.
  std::vector<char> raw(4 * 2080);
  r = nandtest::Run(b, [&] { return nand_dump_to_mem_with_oob(raw.data(), 0, 4 * 2048, kDev); });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  b.k.has_mtdfilemode = false;
  r = nandtest::Run(b, [&] { return nand_dump_to_mem_with_oob(raw.data(), 0, 2048, kDev); });
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("nanddump: error!: MTDFILEMODE\n" + nandtest::ErrLine(8, ENOTTY), r.err);
  b.k.has_mtdfilemode = true;
  b.k.has_eccstats = false;
  r = nandtest::Run(b, [&] { return nand_dump_to_mem_nooob(buf.data(), 0, 2048, kDev); });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("No ECC status information available: Inappropriate ioctl for device\n", r.err);
}

TEST(NandDump, FailuresAbortWithStatusOne) {
  Board b;
  testutil::TempDir d;
  const std::string f = d.file("out");
  std::vector<char> buf(4096);
  auto r = nandtest::Run(b, [&] { return nand_dump_nooob(f.c_str(), 100, 2048, kDev); });
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kAbort, r.out);
  EXPECT_EQ("the start address (-s parameter) is not page-aligned!\nThe pagesize of this NAND Flash is 0x800.\n",
            r.err);

  r = nandtest::Run(b, [&] { return nand_dump_to_mem_nooob(buf.data(), 0, 2048, "/dev/mtd9"); });
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("/dev/mtd9: No such file or directory\n", r.err);

  r = nandtest::Run(b, [&] { return nand_dump_nooob(d.file("no/such").c_str(), 0, 2048, kDev); });
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kAbort, r.out);
  EXPECT_EQ(d.file("no/such") + ": No such file or directory\n", r.err);

  // A copy that the file cannot take is a failure, not a short copy: at its end, or midway.
  for (int len : {2048, 0x40000}) {
    r = nandtest::Run(b, [&] { return nand_dump_with_oob("/dev/full", 0, len, kDev); });
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(kAbort, r.out);
    EXPECT_EQ("/dev/full: No space left on device\n", r.err);
  }

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
    const std::string tty = ptsname(master);
    r = nandtest::Run(b, [&] { return nand_dump_nooob(tty.c_str(), 0, 2048, kDev); });
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(kAbort, r.out);
    EXPECT_EQ("Not printing binary garbage to tty. Use '-a'\nor '--forcebinary' to override.\n", r.err);
  }
  if (master >= 0) close(master);

  b.k.fail_reads(kDev, EIO);
  r = nandtest::Run(b, [&] { return nand_dump_to_mem_nooob(buf.data(), 0x20000, 2048, kDev); });
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kAbort, r.out);
  EXPECT_EQ("libmtd: error!: cannot read 2048 bytes from mtd0 (eraseblock 1, offset 0)\n" + nandtest::ErrLine(6, EIO) +
                "nanddump: error!: mtd_read\n",
            r.err);

  Board c;
  c.k.add_node("/dev/mtd5", 90, 10, 0);
  r = nandtest::Run(c, [&] { return nand_dump_to_mem_nooob(buf.data(), 0, 2048, "/dev/mtd5") == -1 ? 0 : 1; });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("nanddump: error!: mtd_get_dev_info failed\n", r.err);
  c.k.fail_ioctl(MEMGETBADBLOCK, EIO);
  r = nandtest::Run(c, [&] { return nand_dump_to_mem_nooob(buf.data(), 0, 2048, kDev); });
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kAbort, r.out);
  EXPECT_EQ("libmtd: error!: MEMGETBADBLOCK ioctl failed for eraseblock 0 (mtd0)\n" + nandtest::ErrLine(6, EIO) +
                "nanddump: error!: libmtd: mtd_is_bad\n",
            r.err);
}

}  // namespace
