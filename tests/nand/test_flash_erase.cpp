// Range erase on a simulated chip: which blocks are erased, the record the writer trusts instead
// of reading every block back, the reports, and that no path leaves a descriptor or heap behind.
#include <errno.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "flash_erase.h"
#include "heap_check.h"

using testboard::ErrLine;
using testboard::kDev;
using B = testboard::Board;

namespace {

typedef std::vector<std::pair<long long, FlashBlockState>> Record;

// The call's result, or 7 when its record of the blocks named differs from want.
int Erase(const char* dev, int start, int count, const Record& want) {
  const int rc = flash_erase(dev, start, count);
  for (const auto& w : want)
    if (flash_erase_state(kDev, w.first) != w.second) return 7;
  return rc;
}

std::vector<uint32_t> Blocks(uint32_t first, uint32_t end, uint32_t skip = 99) {
  std::vector<uint32_t> v;
  for (uint32_t e = first; e < end; e++)
    if (e != skip && e != skip + 1 && e != 58) v.push_back(e);
  return v;
}

TEST(FlashErase, RangesAndTheirRecord) {
  const FlashBlockState N = kBlockNotReached, E = kBlockErased, Bd = kBlockBad, F = kBlockEraseFailed;
  const std::string kLib = "libmtd: error!: ", kFe = "flash_erase: error!: /dev/mtd0: ";
  struct Case {
    const char* what;
    int start, count;
    Record record;
    int status;
    std::vector<uint32_t> erased;
    std::string out, err;
  } cases[] = {
      // A block that fails to erase is recorded, reported, and the run goes on.
      {"count 0 runs to the device end",
       0,
       0,
       {{2, E}, {3, Bd}, {4, Bd}, {58, F}, {63, E}, {64, N}},
       0,
       Blocks(0, 64, 3),
       "Skipping bad block at 00060000Skipping bad block at 00080000",
       kLib + "MEMERASE64 ioctl failed for eraseblock 58 (mtd0)\n" + ErrLine("libmtd", EIO) + kFe +
           "MTD Erase failure\n" + ErrLine("flash_erase", EIO)},
      {"a start inside a block takes the whole block",
       0x20000 + 2048,
       2,
       {{0, N}, {1, E}, {2, E}, {3, N}},
       0,
       Blocks(1, 3),
       "",
       ""},
      {"past the device end",
       60 * 0x20000,
       6,
       {{59, N}, {60, E}, {63, E}, {64, N}},
       255,
       Blocks(60, 64),
       "",
       kLib + "bad eraseblock number 64, mtd0 has 64 eraseblocks\n" + kFe + "MTD get bad block failed\n" +
           ErrLine("flash_erase", EINVAL)},
      {"a start past the device with count 0 is empty", 70 * 0x20000, 0, {{63, N}}, 0, {}, "", ""},
      // A length below zero in a script names no block, not "up to the device end".
      {"negative count", 0, -1, {{0, N}}, 0, {}, "", ""},
      {"negative start", -0x20000, 0, {{0, N}}, 0, {}, "", ""},
  };
  testutil::TempDir d;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    B b(d.path(), sim::Geometry());
    b.chip.mark_bad(3);
    b.chip.mark_bad(4);
    b.chip.fail_erase(58);
    testboard::Snapshot s;
    auto r = testboard::RunOn(
        b, [&] { return Erase(kDev, c.start, c.count, c.record); }, &s);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(c.erased, s.erased);
    EXPECT_EQ(c.out + "|" + c.err, r.out + "|" + r.err);
    EXPECT_EQ(0u, s.open_fds);
  }
  // The record is per device: another device's name finds nothing.
  B b(d.path(), sim::Geometry());
  EXPECT_EQ(0, testboard::RunOn(b, [] {
                 return flash_erase(kDev, 0, 1) || flash_erase_state("/dev/mtd1", 0) != kBlockNotReached;
               }).status);
}

TEST(FlashErase, SetupFailuresAndMissingBadBlockSupport) {
  struct Case {
    std::function<void(B&)> setup;
    const char* dev;
    std::string err;  // its start
  } cases[] = {
      {[](B&) {}, "/dev/mtd9", "flash_erase: error!: /dev/mtd9\n" + ErrLine("flash_erase", ENOENT)},
      {[](B& b) { b.kernel.add_node("/dev/mtd5", 90, 10, 0); }, "/dev/mtd5",
       "flash_erase: error!: mtd_get_dev_info failed\n"},
      {[](B& b) { b.kernel.fail_open("/sys/class/mtd", EACCES); }, kDev,
       "libmtd: error!: cannot open \"/sys/class/mtd\"\n"},
      // A NAND chip that cannot tell its bad blocks is not erased blindly; the run stops before
      // block 0, so nothing of the range may pass for erased.
      {[](B& b) { b.chip.bb_supported = false; }, kDev,
       "libmtd: error!: MEMGETBADBLOCK ioctl failed for eraseblock 0 (mtd0)\n" +
           ErrLine("libmtd", EOPNOTSUPP) + "flash_erase: error!: /dev/mtd0: Bad block check not available\n"},
  };
  testutil::TempDir d;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dev);
    B b(d.path(), sim::Geometry());
    c.setup(b);
    testboard::Snapshot s;
    auto r = testboard::RunOn(
        b,
        [&] {
          return Erase(c.dev, 0, 2, {{0, kBlockNotReached}});
        },
        &s);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(c.err, r.err.substr(0, c.err.size()));
    EXPECT_TRUE(s.erased.empty());
    EXPECT_EQ(0u, s.open_fds);
  }
}

// Every way out releases the MTD handle, whether the range was erased, empty or never reached.
TEST(FlashErase, NoPathLeavesHeapBehind) {
  testutil::TempDir d;
  B b(d.path(), sim::Geometry());
  b.kernel.add_node("/dev/mtd5", 90, 10, 0);
  for (const char* dev : {kDev, "/dev/mtd9", "/dev/mtd5"})
    for (int count : {2, -1})
      EXPECT_FALSE(testutil::LeavesHeap([&] {
        flash_erase(dev, 0, count);
        b.kernel.clear_calls();
        b.chip.erased_blocks.clear();
      })) << dev
          << " " << count;
}

}  // namespace
