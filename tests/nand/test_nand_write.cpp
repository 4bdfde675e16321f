// The image writer on a simulated chip: where every record lands (bad blocks, failed pages,
// range end), and its exit paths with their exact words.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "nand_board.h"
#include "nand_write.h"

using nandtest::Board;
using nandtest::ErrLine;
using nandtest::kDev;
using nandtest::Pattern;
using nandtest::Snapshot;

namespace {

const size_t kRec = 2048 + 32;

std::string BlockLine(unsigned eb) {
  char b[96];
  snprintf(b, sizeof b, "Writing data to block %u at offset 0x%x\n", eb, eb * 0x20000u);
  return b;
}

std::string BadLine(unsigned eb) {
  char b[128];
  snprintf(b, sizeof b, "Bad block at %x, 1 block(s) from %x will be skipped\n", eb * 0x20000u, eb * 0x20000u);
  return b;
}

const char kPartialOut[] = "Data was only partially written due to error, abort!\n";
std::string PartialErr(int err) {
  return "nandwrite: error!: Data was only partially written due to error\n" + ErrLine(9, err);
}

bool Erased(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i] != 0xFF) return false;
  return true;
}

// Every page of `pages` (chip page numbers) holds the next record of img, in order.
void ExpectRecords(const Snapshot& s, const std::vector<uint8_t>& img, const std::vector<uint64_t>& pages,
                   bool oob) {
  const size_t rec = oob ? kRec : 2048;
  ASSERT_TRUE(s.taken);
  for (size_t i = 0; i < pages.size(); i++) {
    ASSERT_EQ(0, memcmp(s.page_data(pages[i]), &img[i * rec], 2048)) << "record " << i << " page " << pages[i];
    if (oob) {
      ASSERT_EQ(0, memcmp(s.page_oob(pages[i]), &img[i * rec + 2048], 32)) << "oob of record " << i;
      ASSERT_TRUE(Erased(s.page_oob(pages[i]) + 32, 32)) << "only 32 OOB bytes are written";
    }
  }
}

std::vector<uint64_t> Pages(uint64_t first, uint64_t n) {
  std::vector<uint64_t> v;
  for (uint64_t i = 0; i < n; i++) v.push_back(first + i);
  return v;
}

std::vector<uint64_t> Cat(std::vector<uint64_t> a, const std::vector<uint64_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(NandWrite, FailedThirdPageMovesTheBlocksRecordsToTheNextGoodBlock) {
  // With OOB from a file, and without OOB from standard input (which cannot be read again).
  for (bool from_stdin : {false, true}) {
    SCOPED_TRACE(from_stdin ? "stdin" : "file");
    Board b;
    b.chip.mark_bad(3);
    b.chip.fail_program(2 * 64 + 2);  // third page of block 2
    testutil::TempDir d;
    const std::string f = d.file("img");
    const size_t rec = from_stdin ? 2048 : kRec;
    std::vector<uint8_t> img = Pattern(70 * rec, 2);
    Snapshot s;
    testutil::ChildResult r;
    if (from_stdin) {
      r = nandtest::Run(b, [&] { return nand_write_no_oob("-", kDev, 0x40000, 0); }, &s,
                        std::string(img.begin(), img.end()));
    } else {
      nandtest::WriteFile(f, img);
      r = nandtest::Run(b, [&] { return nand_write_with_oob(f.c_str(), kDev, 0x40000, 0x100000); }, &s);
    }
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(BlockLine(2) + BlockLine(3) + BlockLine(4) + BlockLine(5), r.out);
    const std::string lib = from_stdin
        ? "libmtd: error!: cannot write 2048 bytes to mtd0 (eraseblock 2, offset 4096)\n" + ErrLine(6, EIO)
        : "libmtd: error!: MEMWRITE ioctl failed for eraseblock 2 (mtd0)\n" + ErrLine(6, EIO);
    EXPECT_EQ(lib + "Erasing failed write from 0x040000 to 0x05ffff\nMarking block at 0x040000 bad\n" + BadLine(3),
              r.err);
    // Records one to three start block 4; nothing lost, nothing twice.
    ExpectRecords(s, img, Cat(Pages(256, 64), Pages(320, 6)), !from_stdin);
    EXPECT_TRUE(Erased(s.page_data(128), 64 * 2048));
    EXPECT_TRUE(Erased(s.page_data(326), 2048));
    EXPECT_EQ(std::vector<uint32_t>{2}, s.erased);
    // Left good and blank, the block would read as part of the image to the boot loader.
    EXPECT_TRUE((s.bad == std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(2u + 1u + 70u, s.programs);
    EXPECT_EQ(0u, s.violations);
  }
}

TEST(NandWrite, ABlockThatCannotBeMarkedBadEndsTheWrite) {
  // Left good and blank in the middle of the image, the block would be read as part of it.
  Board b;
  b.chip.fail_program(2 * 64);
  b.k.fail_ioctl(MEMSETBADBLOCK, EIO);
  testutil::TempDir d;
  const std::string f = d.file("img");
  nandtest::WriteFile(f, Pattern(4 * 2048, 5));
  auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 0x40000, 0); });
  EXPECT_EQ(255, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("nandwrite: error!: /dev/mtd0: MTD Mark bad block failure\n" + ErrLine(9, EIO)))
      << r.err;
  EXPECT_EQ(BlockLine(2) + "Data was only partially written due to error, abort!\n", r.out);
}

TEST(NandWrite, UnalignedStartInsideABlockAndRecoveryErasesTheWholeBlock) {
  Board b;
  std::vector<uint8_t> old(2048, 0x11);
  b.chip.program(0x40000, old.data(), old.size());  // before the start offset, same block
  b.chip.fail_program(2 * 64 + 62);
  testutil::TempDir d;
  const std::string f = d.file("img");
  std::vector<uint8_t> img = Pattern(5 * 2048, 3);
  nandtest::WriteFile(f, img);
  Snapshot s;
  auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 0x40000 + 60 * 2048, 0); }, &s);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(BlockLine(2) + BlockLine(3), r.out);
  ExpectRecords(s, img, Pages(192, 5), false);
  EXPECT_TRUE(Erased(s.page_data(128), 64 * 2048));
}

TEST(NandWrite, FitCountsWholeRecordsAndTheRangeEnds) {
  testutil::TempDir d;
  const std::string f = d.file("img");
  {  // Exactly the range: written.
    Board b;
    std::vector<uint8_t> img = Pattern(128 * kRec, 4);
    nandtest::WriteFile(f, img);
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_with_oob(f.c_str(), kDev, 0x20000, 0x40000); }, &s);
    ASSERT_EQ(0, r.status) << r.err;
    ExpectRecords(s, img, Pages(64, 128), true);
    EXPECT_EQ(128u, s.programs);
  }
  {  // One record more: refused before anything is written.
    Board b;
    nandtest::WriteFile(f, Pattern(129 * kRec, 4));
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_with_oob(f.c_str(), kDev, 0x20000, 0x40000); }, &s);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(kPartialOut, r.out);
    const std::string head =
        "Image 268320 bytes, NAND page 2080 bytes, OOB area 32 bytes, device size 393216 bytes\n"
        "nandwrite: error!: Input file does not fit into device\n";
    EXPECT_EQ(head, r.err.substr(0, head.size()));
    EXPECT_EQ(0u, s.programs);
  }
  {  // Half a page over the range passes the whole-record check, then meets the range end.
    Board b;
    nandtest::WriteFile(f, Pattern(64 * 2048 + 1024, 5));
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 0, 0x20000); }, &s);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(BlockLine(0) + kPartialOut, r.out);
    EXPECT_EQ(64u, s.programs);
  }
  {  // Bad last block of the range with input left: too many bad blocks, nothing past the end.
    Board b;
    b.chip.mark_bad(2);
    nandtest::WriteFile(f, Pattern(65 * 2048, 6));
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 0x20000, 0x40000); }, &s);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(BlockLine(1) + BlockLine(2) + kPartialOut, r.out);
    const std::string head = BadLine(2) + "nandwrite: error!: too many bad blocks, cannot complete request\n" +
                             "nandwrite: error!: Data was only partially written due to error\n";
    EXPECT_EQ(head, r.err.substr(0, head.size()));
    EXPECT_EQ(64u, s.programs);
    EXPECT_TRUE(Erased(s.page_data(192), 2048));
  }
  {  // Length 0 runs to the device end, bad blocks included.
    Board b;
    b.chip.mark_bad(63);
    nandtest::WriteFile(f, Pattern(65 * 2048, 7));
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 62 * 0x20000, 0); });
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(BlockLine(62) + BlockLine(63) + kPartialOut, r.out);
    EXPECT_NE(std::string::npos, r.err.find("too many bad blocks"));
  }
}

TEST(NandWrite, InputShapes) {
  testutil::TempDir d;
  const std::string f = d.file("img");
  {  // Empty image: one block line, its bad-block check, nothing written.
    Board b;
    nandtest::WriteFile(f, {});
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_with_oob(f.c_str(), kDev, 0x20000, 0); }, &s);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(BlockLine(1), r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0u, s.programs);
  }
  {  // OOB image that is not whole records.
    Board b;
    nandtest::WriteFile(f, Pattern(kRec + 100, 8));
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_with_oob(f.c_str(), kDev, 0, 0); }, &s);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(kPartialOut, r.out);
    EXPECT_EQ("Input file is not page-aligned. Use the padding option.\n" +
                  std::string("nandwrite: error!: Data was only partially written due to error\n"),
              r.err.substr(0, r.err.rfind("           error")));
    EXPECT_EQ(0u, s.programs);
  }
  {  // Standard input ending inside the OOB bytes of the second record.
    Board b;
    std::vector<uint8_t> img = Pattern(kRec + 2048 + 20, 9);
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_with_oob("-", kDev, 0, 0); }, &s,
                           std::string(img.begin(), img.end()));
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(0u, r.err.find("Unexpected EOF. Expecting at least 12 more bytes for OOB\n"));
    EXPECT_EQ(1u, s.programs);
  }
  {  // Standard input larger than the range is not taken for a complete write.
    Board b;
    std::vector<uint8_t> img = Pattern(64 * 2048 + 1, 10);
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob("-", kDev, 0, 0x20000); }, nullptr,
                           std::string(img.begin(), img.end()));
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(BlockLine(0) + kPartialOut, r.out);
    img.pop_back();  // exactly the range
    r = nandtest::Run(b, [&] { return nand_write_no_oob("-", kDev, 0, 0x20000); }, nullptr,
                      std::string(img.begin(), img.end()));
    EXPECT_EQ(0, r.status) << r.err;
  }
  {  // A file past 2 GiB keeps its size: refused as too large, not taken for a short one.
    Board b;
    const std::string big = d.file("big");
    nandtest::WriteFile(big, {});
    if (truncate(big.c_str(), 0x80000800) == 0) {
      Snapshot s;
      auto r = nandtest::Run(b, [&] { return nand_write_no_oob(big.c_str(), kDev, 0, 0); }, &s);
      EXPECT_EQ(255, r.status);
      EXPECT_EQ(0u, r.err.find("Image 2147485696 bytes, NAND page 2048 bytes, OOB area 32 bytes, "
                               "device size 8388608 bytes\n"));
      EXPECT_EQ(0u, s.programs);
    }
  }
  {  // Missing image file.
    Board b;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(d.file("none").c_str(), kDev, 0, 0); });
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(kPartialOut, r.out);
    EXPECT_EQ(d.file("none") + ": No such file or directory\n" + PartialErr(ENOENT), r.err);
  }
}

TEST(NandWrite, MemorySource) {
  {  // A block image over a bad block, and a failing page: written from its first page again.
    Board b;
    b.chip.mark_bad(1);
    b.chip.fail_program(2 * 64 + 1);
    std::vector<uint8_t> img = Pattern(131072, 11);
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(img.data(), 131072, kDev, 0x20000, 0); }, &s);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(BlockLine(1) + BlockLine(2) + BlockLine(3), r.out);
    ExpectRecords(s, img, Pages(192, 64), false);
    EXPECT_EQ(std::vector<uint32_t>{2}, s.erased);
    EXPECT_EQ(0u, s.open_fds);
  }
  {  // Not whole pages: nothing is read past the buffer, the last page is completed with 0xFF.
    Board b;
    std::vector<uint8_t> img = Pattern(3000, 12);
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(img.data(), 3000, kDev, 0, 0); }, &s);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0, memcmp(s.page_data(0), img.data(), 2048));
    EXPECT_EQ(0, memcmp(s.page_data(1), img.data() + 2048, 952));
    EXPECT_TRUE(Erased(s.page_data(1) + 952, 2048 - 952));
    EXPECT_EQ(2u, s.programs);
  }
  {  // Size 0: no block line.
    Board b;
    uint8_t one = 0;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(&one, 0, kDev, 0, 0); });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
  }
  {  // Range end before the data ends.
    Board b;
    std::vector<uint8_t> img = Pattern(131072, 13);
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(img.data(), 131072, kDev, 63 * 0x20000, 0); });
    EXPECT_EQ(0, r.status);
    b.chip.mark_bad(63);
    r = nandtest::Run(b, [&] { return nand_write_no_oob(img.data(), 131072, kDev, 63 * 0x20000, 0); });
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(BlockLine(63) + kPartialOut, r.out);
  }
}

TEST(NandWrite, SetupFailuresEndTheProcessWithTheirWords) {
  Board b;
  testutil::TempDir d;
  const std::string f = d.file("img");
  nandtest::WriteFile(f, Pattern(4096, 14));
  uint8_t mem[2048] = {};
  auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), "/dev/mtd9", 0, 0); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("fail to open /dev/mtd9, abort!\n", r.out);
  EXPECT_EQ("nandwrite: error!: fail to open /dev/mtd9\n" + ErrLine(9, ENOENT), r.err);
  r = nandtest::Run(b, [&] { return nand_write_no_oob(mem, 2048, "/dev/mtd9", 0, 0); });
  EXPECT_EQ("fail to open /dev/mtd9, abort!", r.out);

  r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 100, 0); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("invalid start address 100, abort!\n", r.out);
  EXPECT_EQ("nandwrite: error!: The start address is not page-aligned !\nThe pagesize of this NAND Flash is 0x800.\n\n",
            r.err);
  r = nandtest::Run(b, [&] { return nand_write_no_oob(mem, 2048, kDev, 100, 0); });
  EXPECT_EQ("invalid start address 100 ,abort!", r.out);

  b.k.add_node("/dev/mtd5", 90, 10, 0);  // opens, but names no device the layer knows
  r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), "/dev/mtd5", 0, 0); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("mtd_get_dev_info failed, abort!", r.out);
  EXPECT_EQ("nandwrite: error!: mtd_get_dev_info failed\n", r.err);

  b.k.has_mtdfilemode = false;
  r = nandtest::Run(b, [&] { return nand_write_with_oob(f.c_str(), kDev, 0, 0); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("ioctl MTDFILEMODE is missing, abort!", r.out);
  EXPECT_EQ("nandwrite: error!: ioctl MTDFILEMODE is missing\n", r.err);
  b.k.has_mtdfilemode = true;
  b.k.mtdfilemode_errno = EPERM;
  r = nandtest::Run(b, [&] { return nand_write_with_oob(f.c_str(), kDev, 0, 0); });
  EXPECT_EQ("MTDFILEMODE, abort!", r.out);
  EXPECT_EQ("nandwrite: error!: MTDFILEMODE\n" + ErrLine(9, EPERM), r.err);
}

TEST(NandWrite, FailuresAfterSetupReportAPartialWrite) {
  testutil::TempDir d;
  const std::string f = d.file("img");
  nandtest::WriteFile(f, Pattern(4096, 15));
  {  // A write failure other than EIO is not recovered.
    Board b;
    b.chip.fail_program(1, EROFS);
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 0, 0); }, &s);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(BlockLine(0) + kPartialOut, r.out);
    EXPECT_EQ("libmtd: error!: cannot write 2048 bytes to mtd0 (eraseblock 0, offset 2048)\n" + ErrLine(6, EROFS) +
                  "nandwrite: error!: /dev/mtd0: MTD write failure\n" + ErrLine(9, EROFS) + PartialErr(EROFS),
              r.err);
    EXPECT_TRUE(s.erased.empty());
    EXPECT_EQ(0u, s.open_fds);
  }
  {  // A recovery erase failing with EIO is reported and the write goes on.
    Board b;
    b.chip.fail_program(0);
    b.chip.fail_erase(0);
    Snapshot s;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 0, 0); }, &s);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("nandwrite: error!: /dev/mtd0: MTD Erase failure\n" + ErrLine(9, EIO)));
    EXPECT_EQ(BlockLine(0) + BlockLine(1), r.out);
    EXPECT_EQ(0, memcmp(s.page_data(64), nandtest::Pattern(4096, 15).data(), 4096));
  }
  {  // The bad-block query fails: the start lies past the device.
    Board b;
    auto r = nandtest::Run(b, [&] { return nand_write_no_oob(f.c_str(), kDev, 64 * 0x20000, 0x20000); });
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(BlockLine(64) + kPartialOut, r.out);
    EXPECT_EQ("libmtd: error!: bad eraseblock number 64, mtd0 has 64 eraseblocks\n"
              "nandwrite: error!: /dev/mtd0: MTD get bad block failed\n" + ErrLine(9, EINVAL) + PartialErr(EINVAL),
              r.err);
  }
}

}  // namespace
