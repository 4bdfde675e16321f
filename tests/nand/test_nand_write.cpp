// The image writer on a simulated chip: where records land when a page fails, the inputs that
// only this layer sees (standard input, memory, odd files), and every way out with its exact
// words. The updater's fault campaign proves the rest of the flash path.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "heap_check.h"
#include "nand_write.h"

using testboard::ErrLine;
using testboard::kDev;
using testboard::Pattern;
using B = testboard::Board;

namespace {

const size_t kRec = 2048 + 32;
const char kPartial[] = "Data was only partially written due to error, abort!\n";
const std::string kLib = "libmtd: error!: ", kNw = "nandwrite: error!: ", kEio = ErrLine("libmtd", EIO);

std::string Fmt(const char* f, unsigned a, unsigned b) {
  char s[96];
  snprintf(s, sizeof s, f, a, b);
  return s;
}
std::string Block(unsigned eb) { return Fmt("Writing data to block %u at offset 0x%x\n", eb, eb << 17); }
std::string Bad(unsigned eb) {
  return Fmt("Bad block at %x, 1 block(s) from %x will be skipped\n", eb << 17, eb << 17);
}
std::string PartialErr(int err) {
  return kNw + "Data was only partially written due to error\n" + ErrLine("nandwrite", err);
}
std::string Erased(size_t n) { return std::string(n, '\xFF'); }

// Pages [first, first + n) hold the records of img in order; with OOB, 32 OOB bytes each.
bool Records(const testboard::Snapshot& s, const std::string& img, uint64_t first, uint64_t n, bool oob) {
  const size_t rec = oob ? kRec : 2048;
  for (uint64_t i = 0; i < n; i++)
    if (s.data.compare((first + i) * 2048, 2048, img, i * rec, 2048) != 0 ||
        (oob && s.oob.substr((first + i) * 64, 64) != img.substr(i * rec + 2048, 32) + Erased(32)))
      return false;
  return s.taken;
}

// One call of the writer on a fresh board, after the faults that run sets: what it must print and do.
struct Case {
  const char* what;
  std::function<int(B&)> run;
  int status;
  std::string out, err;
  long long programs;   // -1: not counted
  bool prefix = false;  // err is the start of standard error, not all of it
  std::function<void(const testboard::Snapshot&)> check = nullptr;
  std::string input = "";
};
int W(const std::string& f, unsigned start, unsigned len) {
  return nand_write_no_oob(f.c_str(), kDev, start, len);
}
int WO(const std::string& f, unsigned start, unsigned len) {
  return nand_write_with_oob(f.c_str(), kDev, start, len);
}

int FailingFstat(int, struct stat*) { return errno = EIO, -1; }

void RunCases(const std::vector<Case>& cases) {
  testutil::TempDir d;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    B b(d.path(), sim::Geometry());
    testboard::Snapshot s;
    auto r = testboard::RunOn(
        b, [&] { return c.run(b); }, &s, c.input);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, c.prefix ? r.err.substr(0, c.err.size()) : r.err);
    EXPECT_EQ(c.programs < 0 ? s.programs : static_cast<uint64_t>(c.programs), s.programs);
    EXPECT_EQ(0u, s.open_fds + s.violations);
    if (c.check) c.check(s);
  }
}

TEST(NandWrite, FailedPageMovesTheBlocksRecordsToTheNextGoodBlock) {
  // With OOB from a file, and without OOB from standard input, which cannot be read again.
  const std::string img = Pattern(70 * kRec, 2), raw = img.substr(0, 70 * 2048);
  testutil::TempDir d;
  testutil::WriteAll(d.file("img"), img);
  const std::string moved =
      kEio + "Erasing failed write from 0x040000 to 0x05ffff\nMarking block at 0x040000 bad\n" + Bad(3);
  const auto run = [&](bool oob) {
    return [&, oob](B& b) {
      b.chip.mark_bad(3);
      b.chip.fail_program(2 * 64 + 2);
      return oob ? WO(d.file("img"), 0x40000, 0x100000) : W("-", 0x40000, 0);
    };
  };
  const auto check = [&](bool oob) {
    return [&, oob](const testboard::Snapshot& s) {
      EXPECT_TRUE(Records(s, oob ? img : raw, 256, 70, oob));  // records 1..3 start block 4
      EXPECT_EQ(Erased(64 * 2048), s.data.substr(128 * 2048, 64 * 2048));
      EXPECT_EQ(Erased(2048), s.data.substr(326 * 2048, 2048));
      EXPECT_EQ(std::vector<uint32_t>{2}, s.erased);
      // Left good and blank, the block would read as part of the image to the boot loader.
      EXPECT_EQ((std::vector<uint32_t>{2, 3}), s.bad);
    };
  };
  const std::string out = Block(2) + Block(3) + Block(4) + Block(5);
  RunCases({{"file", run(true), 0, out, kLib + "MEMWRITE ioctl failed for eraseblock 2 (mtd0)\n" + moved, 73,
             false, check(true)},
            {"stdin", run(false), 0, out,
             kLib + "cannot write 2048 bytes to mtd0 (eraseblock 2, offset 4096)\n" + moved, 73, false,
             check(false), raw}});
}

TEST(NandWrite, RangesAndInputs) {
  testutil::TempDir d;
  auto file = [&](const char* name, size_t n, unsigned seed) {
    testutil::WriteAll(d.file(name), Pattern(n, seed));
    return d.file(name);
  };
  const std::string exact = file("exact", 128 * kRec, 4), over = file("over", 129 * kRec, 4),
                    half = file("half", 64 * 2048 + 1024, 5), more = file("more", 65 * 2048, 6),
                    empty = file("empty", 0, 0), notrec = file("notrec", kRec + 100, 8),
                    big = file("big", 0, 0);
  // The errno line under "partially written" is whatever the last call left; not pinned down here.
  const std::string partial = kNw + "Data was only partially written due to error\n",
                    too_many = kNw + "too many bad blocks, cannot complete request\n" + partial,
                    image = "NAND page 2080 bytes, OOB area 32 bytes, device size 393216 bytes\n";
  std::vector<Case> cases = {
      {"exactly the range", [&](B&) { return WO(exact, 0x20000, 0x40000); }, 0, Block(1) + Block(2), "", 128,
       false,
       [&](const testboard::Snapshot& s) { EXPECT_TRUE(Records(s, Pattern(128 * kRec, 4), 64, 128, true)); }},
      {"a record too many", [&](B&) { return WO(over, 0x20000, 0x40000); }, 255, kPartial,
       "Image 268320 bytes, " + image + kNw + "Input file does not fit into device\n", 0, true},
      {"half a page over", [&](B&) { return W(half, 0, 0x20000); }, 255, Block(0) + kPartial, "", 64, true},
      {"bad last block", [&](B& b) { return b.chip.mark_bad(2), W(more, 0x20000, 0x40000); }, 255,
       Block(1) + Block(2) + kPartial, Bad(2) + too_many, 64, true,
       [](const testboard::Snapshot& s) { EXPECT_EQ(Erased(2048), s.data.substr(192 * 2048, 2048)); }},
      {"length 0", [&](B& b) { return b.chip.mark_bad(63), W(more, 62 * 0x20000, 0); }, 255,
       Block(62) + Block(63) + kPartial, Bad(63) + too_many, 64, true},
      {"empty", [&](B&) { return WO(empty, 0x20000, 0); }, 0, Block(1), "", 0},
      {"no whole record", [&](B&) { return WO(notrec, 0, 0); }, 255, kPartial,
       "Input file is not page-aligned. Use the padding option.\n" + partial, 0, true},
      {"a missing image", [&](B&) { return W(d.file("none"), 0, 0); }, 255, kPartial,
       d.file("none") + ": No such file or directory\n" + PartialErr(ENOENT), 0},
      {"stdin ends in OOB", [](B&) { return WO("-", 0, 0); }, 255, Block(0) + kPartial,
       "Unexpected EOF. Expecting at least 12 more bytes for OOB\n", 1, true, nullptr,
       Pattern(kRec + 2048 + 20, 9)},
      {"stdin too long", [](B&) { return W("-", 0, 0x20000); }, 255, Block(0) + kPartial, "", 64, true,
       nullptr, Pattern(64 * 2048 + 1, 10)},
      {"stdin exact", [](B&) { return W("-", 0, 0x20000); }, 0, Block(0), "", 64, false, nullptr,
       Pattern(64 * 2048, 10)},
  };
  if (truncate(big.c_str(), 0x80000800) == 0)  // past 2 GiB: too large, not taken for a short file
    cases.push_back(
        {"a file past 2 GiB", [&](B&) { return W(big, 0, 0); }, 255, kPartial,
         "Image 2147485696 bytes, NAND page 2048 bytes, OOB area 32 bytes, device size 8388608 bytes\n", 0,
         true});
  RunCases(cases);
}

int WM(const std::string& m, unsigned start, const char* dev = kDev) {
  return nand_write_no_oob(reinterpret_cast<const unsigned char*>(m.data()), static_cast<unsigned>(m.size()),
                           dev, start, 0);
}

TEST(NandWrite, MemorySource) {
  const std::string block = Pattern(131072, 11), odd = Pattern(3000, 12);
  RunCases({
      {"bad block, failing page",
       [&](B& b) { return b.chip.mark_bad(1), b.chip.fail_program(2 * 64 + 1), WM(block, 0x20000); }, 0,
       Block(1) + Block(2) + Block(3), "", 2 + 64, true,
       [&](const testboard::Snapshot& s) {
         EXPECT_TRUE(Records(s, block, 192, 64, false));
         EXPECT_EQ(std::vector<uint32_t>{2}, s.erased);
       }},
      {"no whole pages", [&](B&) { return WM(odd, 0); }, 0, Block(0), "", 2, false,
       [&](const testboard::Snapshot& s) { EXPECT_EQ(odd + Erased(1096), s.data.substr(0, 4096)); }},
      {"size 0", [&](B&) { return WM("", 0); }, 0, "", "", 0},
      {"one byte", [&](B&) { return WM(odd.substr(0, 1), 0); }, 0, Block(0), "", 1, false,
       [&](const testboard::Snapshot& s) {
         EXPECT_EQ(odd.substr(0, 1) + Erased(2047), s.data.substr(0, 2048));
       }},
      {"bad last block", [&](B& b) { return b.chip.mark_bad(63), WM(block, 63 * 0x20000); }, 255,
       Block(63) + kPartial, Bad(63), 0, true},
  });
}

TEST(NandWrite, FailuresEndTheProcessWithTheirWords) {
  testutil::TempDir d;
  const std::string f = d.file("img"), img = Pattern(4096, 15), mem(2048, 'm');
  testutil::WriteAll(f, img);
  const std::string noDev = kNw + "fail to open /dev/mtd9\n" + ErrLine("nandwrite", ENOENT);
  RunCases({
      {"no such device", [&](B&) { return nand_write_no_oob(f.c_str(), "/dev/mtd9", 0, 0); }, 255,
       "fail to open /dev/mtd9, abort!\n", noDev, 0},
      {"no device, memory", [&](B&) { return WM(mem, 0, "/dev/mtd9"); }, 255,
       "fail to open /dev/mtd9, abort!", noDev, 0},
      {"unaligned start", [&](B&) { return W(f, 100, 0); }, 255, "invalid start address 100, abort!\n",
       kNw + "The start address is not page-aligned !\nThe pagesize of this NAND Flash is 0x800.\n\n", 0},
      {"unaligned, memory", [&](B&) { return WM(mem, 100); }, 255, "invalid start address 100 ,abort!",
       kNw + "The start address", 0, true},
      {"unknown node",
       [&](B& b) {
         return b.kernel.add_node("/dev/mtd5", 90, 10, 0), nand_write_no_oob(f.c_str(), "/dev/mtd5", 0, 0);
       },
       255, "mtd_get_dev_info failed, abort!", kNw + "mtd_get_dev_info failed\n", 0},
      {"no MTDFILEMODE", [&](B& b) { return b.kernel.has_mtdfilemode = false, WO(f, 0, 0); }, 255,
       "ioctl MTDFILEMODE is missing, abort!", kNw + "ioctl MTDFILEMODE is missing\n", 0},
      {"MTDFILEMODE refused", [&](B& b) { return b.kernel.mtdfilemode_errno = EPERM, WO(f, 0, 0); }, 255,
       "MTDFILEMODE, abort!", kNw + "MTDFILEMODE\n" + ErrLine("nandwrite", EPERM), 0},
      {"no size",
       [&](B&) {
         kernel_ops wrap = *g_kernel;
         wrap.fstat = FailingFstat;
         kernel_install(&wrap);
         return W(f, 0, 0);
       },
       255, kPartial, kNw + "unable to stat input image\n" + ErrLine("nandwrite", EIO) + PartialErr(EIO), 0},
      {"EROFS", [&](B& b) { return b.chip.fail_program(1, EROFS), W(f, 0, 0); }, 255, Block(0) + kPartial,
       kLib + "cannot write 2048 bytes to mtd0 (eraseblock 0, offset 2048)\n" + ErrLine("libmtd", EROFS) +
           kNw + "/dev/mtd0: MTD write failure\n" + ErrLine("nandwrite", EROFS) + PartialErr(EROFS),
       2, false, [](const testboard::Snapshot& s) { EXPECT_TRUE(s.erased.empty()); }},
      // Left good and blank in the middle of the image, the block would be read as part of it.
      {"no bad mark",
       [&](B& b) {
         return b.chip.fail_program(2 * 64), b.kernel.fail_ioctl(MEMSETBADBLOCK, EIO), W(f, 0x40000, 0);
       },
       255, Block(2) + kPartial,
       kLib + "cannot write 2048 bytes to mtd0 (eraseblock 2, offset 0)\n" + kEio +
           "Erasing failed write from 0x040000 to 0x05ffff\nMarking block at 0x040000 bad\n" + kLib +
           "MEMSETBADBLOCK ioctl failed for eraseblock 2 (mtd0)\n" + kEio + kNw +
           "/dev/mtd0: MTD Mark bad block failure\n" + ErrLine("nandwrite", EIO) + PartialErr(EIO),
       1},
      {"recovery erase fails",
       [&](B& b) { return b.chip.fail_program(64), b.chip.fail_erase(1), W(f, 0x20000, 0); }, 0,
       Block(1) + Block(2),
       kLib + "cannot write 2048 bytes to mtd0 (eraseblock 1, offset 0)\n" + kEio +
           "Erasing failed write from 0x020000 to 0x03ffff\n" + kLib +
           "MEMERASE64 ioctl failed for eraseblock 1 (mtd0)\n" + kEio + kNw +
           "/dev/mtd0: MTD Erase failure\n" + ErrLine("nandwrite", EIO) + "Marking block at 0x020000 bad\n",
       3, false, [&](const testboard::Snapshot& s) { EXPECT_EQ(img, s.data.substr(128 * 2048, 4096)); }},
      {"past the device", [&](B&) { return W(f, 64 * 0x20000, 0x20000); }, 255, Block(64) + kPartial,
       kLib + "bad eraseblock number 64, mtd0 has 64 eraseblocks\n" + kNw +
           "/dev/mtd0: MTD get bad block failed\n" + ErrLine("nandwrite", EINVAL) + PartialErr(EINVAL),
       0},
  });
}

// A write that returns has released the MTD handle, the descriptors and the record buffer.
TEST(NandWrite, NoReturnLeavesHeapBehind) {
  testutil::TempDir d;
  B b(d.path(), sim::Geometry());
  const std::string img = Pattern(3 * 2048, 16);
  testutil::WriteAll(d.file("img"), img);
  EXPECT_FALSE(testutil::LeavesHeap([&] {
    b.chip.fill(0, 0x20000, 0xFF);
    W(d.file("img"), 0, 0);
    b.chip.fill(0, 0x20000, 0xFF);
    WM(img, 0);
    b.kernel.clear_calls();
  }));
}

}  // namespace
