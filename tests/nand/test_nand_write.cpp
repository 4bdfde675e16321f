// The image writer's words and exits; where records land under faults is the fault campaign's.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "board.h"
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
std::string Moved(unsigned eb) {
  return kEio + Fmt("Erasing failed write from 0x%06x to 0x%06x\n", eb << 17, ((eb + 1) << 17) - 1) +
         Fmt("Marking block at 0x%06x bad\n", eb << 17, 0);
}
int W(const std::string& f, unsigned at, unsigned len) { return nand_write_no_oob(f.c_str(), kDev, at, len); }
int WO(const std::string& f, unsigned at, unsigned len) {
  return nand_write_with_oob(f.c_str(), kDev, at, len);
}

// chip is "programs e<erased blocks> b<bad blocks>"; an err ending in '*' is only its start.
struct Case {
  const char* what;
  std::function<int(B&)> run;
  int status;
  std::string out, err, chip, input = "";
};

std::string Ebs(const std::vector<uint32_t>& v) {
  std::string s;
  for (uint32_t e : v) s += (s.empty() ? "" : ",") + std::to_string(e);
  return s;
}

void RunCases(const std::vector<Case>& cases) {
  testutil::TempDir d;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    B b(d.path(), sim::Geometry());
    testboard::Snapshot s;
    std::string got = testboard::Told(testboard::RunOn(
        b, [&] { return c.run(b); }, &s, c.input));
    got += "\nchip: " + std::to_string(s.programs) + " e" + Ebs(s.erased) + " b" + Ebs(s.bad);
    const bool prefix = !c.err.empty() && c.err.back() == '*';
    const std::string err = prefix ? c.err.substr(0, c.err.size() - 1) : c.err;
    const std::string head = testboard::Told(c.status, c.out, err);
    EXPECT_EQ(head, got.substr(0, prefix ? head.size() : got.find("\nchip: ")));
    EXPECT_EQ("\nchip: " + c.chip, got.substr(got.find("\nchip: ")));
    EXPECT_EQ(0u, s.open_fds + s.violations);
  }
}

TEST(NandWrite, RangesInputsAndFailures) {
  testutil::TempDir d;
  auto file = [&](const char* name, size_t n, unsigned seed) {
    testutil::WriteAll(d.file(name), Pattern(n, seed));
    return d.file(name);
  };
  const std::string img = file("img", 70 * kRec, 2), exact = file("exact", 128 * kRec, 4),
                    over = file("over", 129 * kRec, 4), more = file("more", 64 * 2048 + 1, 6),
                    f = file("f", 4096, 15), half = file("half", 64 * 2048 + 1024, 5);
  const std::string partial = kNw + "Data was only partially written due to error\n",
                    too_many = kNw + "too many bad blocks, cannot complete request\n" + partial,
                    image = "NAND page 2080 bytes, OOB area 32 bytes, device size 393216 bytes\n",
                    four = Block(2) + Block(3) + Block(4) + Block(5);
  std::vector<Case> cases = {
      // A failing page's block is moved on and marked bad, or the boot loader would read it.
      {"failing page, file with OOB",
       [&](B& b) { return b.chip.mark_bad(3), b.chip.fail_program(130), WO(img, 0x40000, 0x100000); }, 0,
       four, kLib + "MEMWRITE ioctl failed for eraseblock 2 (mtd0)\n" + Moved(2) + Bad(3), "73 e2 b2,3"},
      {"exactly the range", [&](B&) { return WO(exact, 0x20000, 0x40000); }, 0, Block(1) + Block(2), "",
       "128 e b"},
      {"half a page over", [&](B&) { return W(half, 0, 0x20000); }, 255, Block(0) + kPartial, "*", "64 e b"},
      {"a record too many", [&](B&) { return WO(over, 0x20000, 0x40000); }, 255, kPartial,
       "Image 268320 bytes, " + image + kNw + "Input file does not fit into device\n*", "0 e b"},
      {"bad last block", [&](B& b) { return b.chip.mark_bad(2), W(more, 0x20000, 0x40000); }, 255,
       Block(1) + Block(2) + kPartial, Bad(2) + too_many + "*", "64 e b2"},
      {"no such device", [&](B&) { return nand_write_no_oob(f.c_str(), "/dev/mtd9", 0, 0); }, 255,
       "fail to open /dev/mtd9, abort!\n", kNw + "fail to open /dev/mtd9\n" + ErrLine("nandwrite", ENOENT),
       "0 e b"},
      {"MTDFILEMODE refused", [&](B& b) { return b.kernel.mtdfilemode_errno = EPERM, WO(f, 0, 0); }, 255,
       "MTDFILEMODE, abort!", kNw + "MTDFILEMODE\n" + ErrLine("nandwrite", EPERM), "0 e b"},
      {"no bad mark",
       [&](B& b) {
         return b.chip.fail_program(2 * 64), b.kernel.fail_ioctl(MEMSETBADBLOCK, EIO), W(f, 0x40000, 0);
       },
       255, Block(2) + kPartial,
       kLib + "cannot write 2048 bytes to mtd0 (eraseblock 2, offset 0)\n" + Moved(2) + kLib +
           "MEMSETBADBLOCK ioctl failed for eraseblock 2 (mtd0)\n" + kEio + kNw +
           "/dev/mtd0: MTD Mark bad block failure\n" + ErrLine("nandwrite", EIO) + partial +
           ErrLine("nandwrite", EIO),
       "1 e2 b"},
      {"past the device", [&](B&) { return W(f, 64 * 0x20000, 0x20000); }, 255, Block(64) + kPartial,
       kLib + "bad eraseblock number 64, mtd0 has 64 eraseblocks\n" + kNw +
           "/dev/mtd0: MTD get bad block failed\n" + ErrLine("nandwrite", EINVAL) + partial +
           ErrLine("nandwrite", EINVAL),
       "0 e b"},
  };
  RunCases(cases);
}

}  // namespace
