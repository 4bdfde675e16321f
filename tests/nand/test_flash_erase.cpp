// Range erase on a simulated chip: which blocks are erased, the record the writer trusts instead
// of reading every block back, the reports, and that no path leaves a descriptor or heap behind.
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "flash_erase.h"
#include "heap_check.h"
#include "nand_board.h"

using nandtest::Board;
using nandtest::ErrLine;
using nandtest::kDev;
using nandtest::Snapshot;

namespace {

std::vector<uint32_t> Blocks(uint32_t first, uint32_t end, std::vector<uint32_t> skip = {}) {
  std::vector<uint32_t> v;
  for (uint32_t e = first; e < end; e++)
    if (std::find(skip.begin(), skip.end(), e) == skip.end()) v.push_back(e);
  return v;
}

typedef std::vector<std::pair<long long, FlashBlockState>> Record;

// The call's result, or 7 when its record of the blocks named differs from want.
int Erase(const char* dev, int start, int count, const Record& want) {
  const int rc = flash_erase(dev, start, count);
  for (const auto& w : want)
    if (flash_erase_state(kDev, w.first) != w.second) return 7;
  return rc;
}

TEST(FlashErase, RangesAndTheirRecord) {
  const FlashBlockState N = kBlockNotReached, E = kBlockErased, B = kBlockBad, F = kBlockEraseFailed;
  const std::string kLib = "libmtd: error!: ";
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
       {{2, E}, {3, B}, {4, B}, {58, F}, {63, E}, {64, N}},
       0,
       Blocks(0, 64, {3, 4, 58}),
       "Skipping bad block at 00060000Skipping bad block at 00080000",
       kLib + "MEMERASE64 ioctl failed for eraseblock 58 (mtd0)\n" + ErrLine(6, EIO) +
           "flash_erase: error!: /dev/mtd0: MTD Erase failure\n" + ErrLine(11, EIO)},
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
       kLib +
           "bad eraseblock number 64, mtd0 has 64 eraseblocks\n"
           "flash_erase: error!: /dev/mtd0: MTD get bad block failed\n" +
           ErrLine(11, EINVAL)},
      {"a start past the device with count 0 is empty", 70 * 0x20000, 0, {{63, N}}, 0, {}, "", ""},
      // A length below zero in a script names no block, not "up to the device end".
      {"negative count", 0, -1, {{0, N}}, 0, {}, "", ""},
      {"negative start", -0x20000, 0, {{0, N}}, 0, {}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Board b;
    b.chip.mark_bad(3);
    b.chip.mark_bad(4);
    b.chip.fail_erase(58);
    Snapshot s;
    auto r = nandtest::Run(
        b, [&] { return Erase(kDev, c.start, c.count, c.record); }, &s);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(c.erased, s.erased);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(0u, s.open_fds);
  }
  // The record is per device: another device's name finds nothing.
  Board b;
  auto r = nandtest::Run(
      b, [] { return flash_erase(kDev, 0, 1) || flash_erase_state("/dev/mtd1", 0) != kBlockNotReached; });
  EXPECT_EQ(0, r.status);
}

TEST(FlashErase, SetupFailuresAndMissingBadBlockSupport) {
  struct Case {
    const char* what;
    std::function<void(Board&)> setup;
    const char* dev;
    std::string err;  // its start
  } cases[] = {
      {"no such node", [](Board&) {}, "/dev/mtd9", "flash_erase: error!: /dev/mtd9\n" + ErrLine(11, ENOENT)},
      {"a node the MTD layer does not know", [](Board& b) { b.k.add_node("/dev/mtd5", 90, 10, 0); },
       "/dev/mtd5", "flash_erase: error!: mtd_get_dev_info failed\n"},
      {"the MTD layer cannot be opened", [](Board& b) { b.k.fail_open("/sys/class/mtd", EACCES); }, kDev,
       "libmtd: error!: cannot open \"/sys/class/mtd\"\n"},
      // A NAND chip that cannot tell its bad blocks is not erased blindly; the run stops before
      // block 0, so nothing of the range may pass for erased.
      {"no bad-block support", [](Board& b) { b.chip.bb_supported = false; }, kDev,
       "libmtd: error!: MEMGETBADBLOCK ioctl failed for eraseblock 0 (mtd0)\n" + ErrLine(6, EOPNOTSUPP) +
           "flash_erase: error!: /dev/mtd0: Bad block check not available\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Board b;
    c.setup(b);
    Snapshot s;
    auto r = nandtest::Run(
        b,
        [&] {
          return Erase(c.dev, 0, 2, {{0, kBlockNotReached}});
        },
        &s);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
    EXPECT_TRUE(s.erased.empty());
    EXPECT_EQ(0u, s.open_fds);
  }
}

// Every way out releases the MTD handle, whether the range was erased, empty or never reached.
TEST(FlashErase, NoPathLeavesHeapBehind) {
  struct Case {
    const char* dev;
    int start, count;
  } cases[] = {{kDev, 0, 2}, {kDev, 0, -1}, {"/dev/mtd9", 0, 1}, {"/dev/mtd5", 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dev + std::string(" ") + std::to_string(c.count));
    Board b;
    b.k.add_node("/dev/mtd5", 90, 10, 0);
    EXPECT_FALSE(testutil::LeavesHeap([&] {
      flash_erase(c.dev, c.start, c.count);
      b.k.clear_calls();
      b.chip.erased_blocks.clear();
    }));
  }
}

}  // namespace
