// The image writer on a simulated chip: where the records land when a page fails, the inputs
// that only this layer sees (standard input, memory, odd files), and every way out with its
// exact words. The fault campaign of the updater proves the rest of the flash path.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "heap_check.h"
#include "nand_board.h"
#include "nand_write.h"

using nandtest::Board;
using nandtest::ErrLine;
using nandtest::kDev;
using nandtest::Pattern;
using nandtest::Snapshot;

namespace {

const size_t kRec = 2048 + 32;
const char kPartialOut[] = "Data was only partially written due to error, abort!\n";

std::string BlockLine(unsigned eb) {
  char b[96];
  snprintf(b, sizeof b, "Writing data to block %u at offset 0x%x\n", eb, eb * 0x20000u);
  return b;
}

std::string BadLine(unsigned eb) {
  char b[128];
  snprintf(b, sizeof b, "Bad block at %x, 1 block(s) from %x will be skipped\n", eb * 0x20000u,
           eb * 0x20000u);
  return b;
}

std::string PartialErr(int err) {
  return "nandwrite: error!: Data was only partially written due to error\n" + ErrLine(9, err);
}

bool Erased(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i] != 0xFF) return false;
  return true;
}

// Pages [first, first + n) hold the records of img in order; with OOB, only 32 OOB bytes each.
void ExpectRecords(const Snapshot& s, const std::vector<uint8_t>& img, uint64_t first, uint64_t n, bool oob) {
  const size_t rec = oob ? kRec : 2048;
  ASSERT_TRUE(s.taken);
  for (uint64_t i = 0; i < n; i++) {
    const uint64_t page = first + i;
    ASSERT_EQ(0, memcmp(s.page_data(page), &img[i * rec], 2048)) << "record " << i << " page " << page;
    if (!oob) continue;
    ASSERT_EQ(0, memcmp(s.page_oob(page), &img[i * rec + 2048], 32)) << "oob of record " << i;
    ASSERT_TRUE(Erased(s.page_oob(page) + 32, 32));
  }
}

std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(NandWrite, FailedPageMovesTheBlocksRecordsToTheNextGoodBlock) {
  // With OOB from a file, and without OOB from standard input, which cannot be read again.
  for (bool from_stdin : {false, true}) {
    SCOPED_TRACE(from_stdin ? "stdin" : "file");
    Board b;
    b.chip.mark_bad(3);
    b.chip.fail_program(2 * 64 + 2);  // third page of block 2
    testutil::TempDir d;
    const std::string f = d.file("img");
    std::vector<uint8_t> img = Pattern(70 * (from_stdin ? 2048 : kRec), 2);
    nandtest::WriteFile(f, img);
    Snapshot s;
    auto r = from_stdin ? nandtest::Run(
                              b, [&] { return nand_write_no_oob("-", kDev, 0x40000, 0); }, &s, Str(img))
                        : nandtest::Run(
                              b, [&] { return nand_write_with_oob(f.c_str(), kDev, 0x40000, 0x100000); }, &s);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(BlockLine(2) + BlockLine(3) + BlockLine(4) + BlockLine(5), r.out);
    const std::string lib =
        from_stdin ? "libmtd: error!: cannot write 2048 bytes to mtd0 (eraseblock 2, offset 4096)\n" +
                         ErrLine(6, EIO)
                   : "libmtd: error!: MEMWRITE ioctl failed for eraseblock 2 (mtd0)\n" + ErrLine(6, EIO);
    EXPECT_EQ(
        lib + "Erasing failed write from 0x040000 to 0x05ffff\nMarking block at 0x040000 bad\n" + BadLine(3),
        r.err);
    // Records one to three start block 4: nothing lost, nothing twice.
    ExpectRecords(s, img, 256, 70, !from_stdin);
    EXPECT_TRUE(Erased(s.page_data(128), 64 * 2048));
    EXPECT_TRUE(Erased(s.page_data(326), 2048));
    EXPECT_EQ(std::vector<uint32_t>{2}, s.erased);
    // Left good and blank, the block would read as part of the image to the boot loader.
    EXPECT_EQ((std::vector<uint32_t>{2, 3}), s.bad);
    EXPECT_EQ(2u + 1u + 70u, s.programs);
  }
}

// One call of the writer on a fresh board: its faults, the call, what it must print and do.
struct Case {
  const char* what;
  std::function<void(Board&)> faults;
  std::function<int()> op;
  int status;
  std::string out, err;
  bool err_prefix;     // err is the start of standard error, not all of it
  long long programs;  // -1: not counted
  std::function<void(const Snapshot&)> check = nullptr;
  std::string input = "";
};

// A kernel that cannot tell the size of any open file.
int FailingFstat(int, struct stat*) {
  errno = EIO;
  return -1;
}

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Board b;
    if (c.faults) c.faults(b);
    Snapshot s;
    auto r = nandtest::Run(b, c.op, &s, c.input);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(c.out, r.out);
    if (c.err_prefix) {
      EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
    } else {
      EXPECT_EQ(c.err, r.err);
    }
    if (c.programs >= 0) {
      EXPECT_EQ(static_cast<uint64_t>(c.programs), s.programs);
    }
    EXPECT_EQ(0u, s.open_fds);
    EXPECT_EQ(0u, s.violations);
    if (c.check) c.check(s);
  }
}

TEST(NandWrite, RangesAndInputs) {
  testutil::TempDir d;
  auto file = [&](const char* name, size_t n, uint32_t seed) {
    nandtest::WriteFile(d.file(name), Pattern(n, seed));
    return d.file(name);
  };
  const std::string exact = file("exact", 128 * kRec, 4), over = file("over", 129 * kRec, 4),
                    half = file("half", 64 * 2048 + 1024, 5), more = file("more", 65 * 2048, 6),
                    empty = file("empty", 0, 0), notrec = file("notrec", kRec + 100, 8),
                    big = file("big", 0, 0);
  const bool have_big = truncate(big.c_str(), 0x80000800) == 0;
  const std::vector<uint8_t> exact_img = nandtest::ReadFile(exact);
  // The errno line under "partially written" is whatever the last call left; not pinned down here.
  const std::string partial = "nandwrite: error!: Data was only partially written due to error\n",
                    too_many = "nandwrite: error!: too many bad blocks, cannot complete request\n" + partial;
  const auto none = [](Board&) {};
  std::vector<Case> cases = {
      {"exactly the range", none, [&] { return nand_write_with_oob(exact.c_str(), kDev, 0x20000, 0x40000); },
       0, BlockLine(1) + BlockLine(2), "", false, 128,
       [&](const Snapshot& s) { ExpectRecords(s, exact_img, 64, 128, true); }},
      {"one record more is refused before anything is written", none,
       [&] { return nand_write_with_oob(over.c_str(), kDev, 0x20000, 0x40000); }, 255, kPartialOut,
       "Image 268320 bytes, NAND page 2080 bytes, OOB area 32 bytes, device size 393216 bytes\n"
       "nandwrite: error!: Input file does not fit into device\n",
       true, 0},
      {"half a page over passes the whole-record check, then meets the range end", none,
       [&] { return nand_write_no_oob(half.c_str(), kDev, 0, 0x20000); }, 255, BlockLine(0) + kPartialOut, "",
       true, 64},
      {"a bad last block with input left writes nothing past the range", [](Board& b) { b.chip.mark_bad(2); },
       [&] { return nand_write_no_oob(more.c_str(), kDev, 0x20000, 0x40000); }, 255,
       BlockLine(1) + BlockLine(2) + kPartialOut, BadLine(2) + too_many, true, 64,
       [](const Snapshot& s) { EXPECT_TRUE(Erased(s.page_data(192), 2048)); }},
      {"length 0 runs to the device end, bad blocks included", [](Board& b) { b.chip.mark_bad(63); },
       [&] { return nand_write_no_oob(more.c_str(), kDev, 62 * 0x20000, 0); }, 255,
       BlockLine(62) + BlockLine(63) + kPartialOut, BadLine(63) + too_many, true, 64},
      {"an empty image enters its first block and writes nothing", none,
       [&] { return nand_write_with_oob(empty.c_str(), kDev, 0x20000, 0); }, 0, BlockLine(1), "", false, 0},
      {"an OOB image of no whole records", none,
       [&] { return nand_write_with_oob(notrec.c_str(), kDev, 0, 0); }, 255, kPartialOut,
       "Input file is not page-aligned. Use the padding option.\n" + partial, true, 0},
      {"a missing image", none, [&] { return nand_write_no_oob(d.file("none").c_str(), kDev, 0, 0); }, 255,
       kPartialOut, d.file("none") + ": No such file or directory\n" + PartialErr(ENOENT), false, 0},
      {"standard input ending inside the OOB bytes of its second record", none,
       [] { return nand_write_with_oob("-", kDev, 0, 0); }, 255, BlockLine(0) + kPartialOut,
       "Unexpected EOF. Expecting at least 12 more bytes for OOB\n", true, 1, nullptr,
       Str(Pattern(kRec + 2048 + 20, 9))},
      {"standard input larger than the range is no complete write", none,
       [] { return nand_write_no_oob("-", kDev, 0, 0x20000); }, 255, BlockLine(0) + kPartialOut, "", true, 64,
       nullptr, Str(Pattern(64 * 2048 + 1, 10))},
      {"standard input of exactly the range", none, [] { return nand_write_no_oob("-", kDev, 0, 0x20000); },
       0, BlockLine(0), "", false, 64, nullptr, Str(Pattern(64 * 2048, 10))},
  };
  if (have_big)  // A file past 2 GiB keeps its size: refused as too large, not taken for a short one.
    cases.push_back(
        {"a file past 2 GiB", none, [&] { return nand_write_no_oob(big.c_str(), kDev, 0, 0); }, 255,
         kPartialOut,
         "Image 2147485696 bytes, NAND page 2048 bytes, OOB area 32 bytes, device size 8388608 bytes\n", true,
         0});
  RunCases(cases);
}

TEST(NandWrite, MemorySource) {
  const std::vector<uint8_t> block = Pattern(131072, 11), odd = Pattern(3000, 12);
  uint8_t one = 0;
  RunCases({
      {"over a bad block, and a failing page: the block is written from its first page again",
       [](Board& b) {
         b.chip.mark_bad(1);
         b.chip.fail_program(2 * 64 + 1);
       },
       [&] { return nand_write_no_oob(block.data(), 131072, kDev, 0x20000, 0); }, 0,
       BlockLine(1) + BlockLine(2) + BlockLine(3), "", true, 2 + 64,
       [&](const Snapshot& s) {
         ExpectRecords(s, block, 192, 64, false);
         EXPECT_EQ(std::vector<uint32_t>{2}, s.erased);
       }},
      {"no whole pages: nothing read past the buffer, the last page completed with 0xFF", nullptr,
       [&] { return nand_write_no_oob(odd.data(), 3000, kDev, 0, 0); }, 0, BlockLine(0), "", false, 2,
       [&](const Snapshot& s) {
         EXPECT_EQ(0, memcmp(s.page_data(0), odd.data(), 2048));
         EXPECT_EQ(0, memcmp(s.page_data(1), odd.data() + 2048, 952));
         EXPECT_TRUE(Erased(s.page_data(1) + 952, 2048 - 952));
       }},
      {"size 0: not even a block line", nullptr, [&] { return nand_write_no_oob(&one, 0, kDev, 0, 0); }, 0,
       "", "", false, 0},
      {"the last block of the device", nullptr,
       [&] { return nand_write_no_oob(block.data(), 131072, kDev, 63 * 0x20000, 0); }, 0, BlockLine(63), "",
       false, 64},
      {"the last block of the device is bad", [](Board& b) { b.chip.mark_bad(63); },
       [&] { return nand_write_no_oob(block.data(), 131072, kDev, 63 * 0x20000, 0); }, 255,
       BlockLine(63) + kPartialOut, BadLine(63), true, 0},
  });
}

TEST(NandWrite, FailuresEndTheProcessWithTheirWords) {
  testutil::TempDir d;
  const std::string f = d.file("img");
  nandtest::WriteFile(f, Pattern(4096, 15));
  static uint8_t mem[2048];
  const char kLib[] = "libmtd: error!: ";
  const auto none = [](Board&) {};
  const auto unknown_node = [](Board& b) { b.k.add_node("/dev/mtd5", 90, 10, 0); };
  RunCases({
      {"no such device", none, [&] { return nand_write_no_oob(f.c_str(), "/dev/mtd9", 0, 0); }, 255,
       "fail to open /dev/mtd9, abort!\n", "nandwrite: error!: fail to open /dev/mtd9\n" + ErrLine(9, ENOENT),
       false, 0},
      {"no such device, from memory", none, [&] { return nand_write_no_oob(mem, 2048, "/dev/mtd9", 0, 0); },
       255, "fail to open /dev/mtd9, abort!",
       "nandwrite: error!: fail to open /dev/mtd9\n" + ErrLine(9, ENOENT), false, 0},
      {"unaligned start", none, [&] { return nand_write_no_oob(f.c_str(), kDev, 100, 0); }, 255,
       "invalid start address 100, abort!\n",
       "nandwrite: error!: The start address is not page-aligned !\nThe pagesize of this NAND Flash is "
       "0x800.\n\n",
       false, 0},
      {"unaligned start, from memory", none, [&] { return nand_write_no_oob(mem, 2048, kDev, 100, 0); }, 255,
       "invalid start address 100 ,abort!", "nandwrite: error!: The start address", true, 0},
      {"a node the MTD layer does not know", unknown_node,
       [&] { return nand_write_no_oob(f.c_str(), "/dev/mtd5", 0, 0); }, 255,
       "mtd_get_dev_info failed, abort!", "nandwrite: error!: mtd_get_dev_info failed\n", false, 0},
      {"no MTDFILEMODE", [](Board& b) { b.k.has_mtdfilemode = false; },
       [&] { return nand_write_with_oob(f.c_str(), kDev, 0, 0); }, 255,
       "ioctl MTDFILEMODE is missing, abort!", "nandwrite: error!: ioctl MTDFILEMODE is missing\n", false, 0},
      {"MTDFILEMODE refused", [](Board& b) { b.k.mtdfilemode_errno = EPERM; },
       [&] { return nand_write_with_oob(f.c_str(), kDev, 0, 0); }, 255, "MTDFILEMODE, abort!",
       "nandwrite: error!: MTDFILEMODE\n" + ErrLine(9, EPERM), false, 0},
      {"the image's size cannot be had", none,
       [&] {
         kernel_ops wrap = *g_kernel;
         wrap.fstat = FailingFstat;
         kernel_install(&wrap);
         return nand_write_no_oob(f.c_str(), kDev, 0, 0);
       },
       255, kPartialOut,
       "nandwrite: error!: unable to stat input image\n" + ErrLine(9, EIO) + PartialErr(EIO), false, 0},
      {"a write failure other than EIO is not recovered", [](Board& b) { b.chip.fail_program(1, EROFS); },
       [&] { return nand_write_no_oob(f.c_str(), kDev, 0, 0); }, 255, BlockLine(0) + kPartialOut,
       kLib + std::string("cannot write 2048 bytes to mtd0 (eraseblock 0, offset 2048)\n") +
           ErrLine(6, EROFS) + "nandwrite: error!: /dev/mtd0: MTD write failure\n" + ErrLine(9, EROFS) +
           PartialErr(EROFS),
       false, 2, [](const Snapshot& s) { EXPECT_TRUE(s.erased.empty()); }},
      // Left good and blank in the middle of the image, the block would be read as part of it.
      {"a block that cannot be marked bad",
       [](Board& b) {
         b.chip.fail_program(2 * 64);
         b.k.fail_ioctl(MEMSETBADBLOCK, EIO);
       },
       [&] { return nand_write_no_oob(f.c_str(), kDev, 0x40000, 0); }, 255, BlockLine(2) + kPartialOut,
       kLib + std::string("cannot write 2048 bytes to mtd0 (eraseblock 2, offset 0)\n") + ErrLine(6, EIO) +
           "Erasing failed write from 0x040000 to 0x05ffff\nMarking block at 0x040000 bad\n" + kLib +
           "MEMSETBADBLOCK ioctl failed for eraseblock 2 (mtd0)\n" + ErrLine(6, EIO) +
           "nandwrite: error!: /dev/mtd0: MTD Mark bad block failure\n" + ErrLine(9, EIO) + PartialErr(EIO),
       false, 1},
      {"a recovery erase failing with EIO is reported and the write goes on",
       [](Board& b) {
         b.chip.fail_program(64);
         b.chip.fail_erase(1);
       },
       [&] { return nand_write_no_oob(f.c_str(), kDev, 0x20000, 0); }, 0, BlockLine(1) + BlockLine(2),
       kLib + std::string("cannot write 2048 bytes to mtd0 (eraseblock 1, offset 0)\n") + ErrLine(6, EIO) +
           "Erasing failed write from 0x020000 to 0x03ffff\n" + kLib +
           "MEMERASE64 ioctl failed for eraseblock 1 (mtd0)\n" + ErrLine(6, EIO) +
           "nandwrite: error!: /dev/mtd0: MTD Erase failure\n" + ErrLine(9, EIO) +
           "Marking block at 0x020000 bad\n",
       false, 3,
       [](const Snapshot& s) { EXPECT_EQ(0, memcmp(s.page_data(128), Pattern(4096, 15).data(), 4096)); }},
      {"the bad-block query fails: the start lies past the device", none,
       [&] { return nand_write_no_oob(f.c_str(), kDev, 64 * 0x20000, 0x20000); }, 255,
       BlockLine(64) + kPartialOut,
       kLib + std::string("bad eraseblock number 64, mtd0 has 64 eraseblocks\n") +
           "nandwrite: error!: /dev/mtd0: MTD get bad block failed\n" + ErrLine(9, EINVAL) +
           PartialErr(EINVAL),
       false, 0},
  });
}

// A write that returns has released the MTD handle, the descriptors and the record buffer.
TEST(NandWrite, NoReturnLeavesHeapBehind) {
  Board b;
  testutil::TempDir d;
  const std::vector<uint8_t> img = Pattern(3 * 2048, 16);
  nandtest::WriteFile(d.file("img"), img);
  EXPECT_FALSE(testutil::LeavesHeap([&] {
    b.chip.fill(0, 0x20000, 0xFF);
    nand_write_no_oob(d.file("img").c_str(), kDev, 0, 0);
    b.chip.fill(0, 0x20000, 0xFF);
    nand_write_no_oob(img.data(), 3 * 2048, kDev, 0, 0);
    b.k.clear_calls();
  }));
}

}  // namespace
