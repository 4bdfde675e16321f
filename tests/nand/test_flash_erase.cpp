// Range erase on a simulated chip: which blocks are erased, what is printed, what is returned.
#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash_erase.h"
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

TEST(FlashErase, CountZeroRunsToTheDeviceEndSkippingBadBlocks) {
  Board b;
  b.chip.mark_bad(3);
  b.chip.mark_bad(4);
  Snapshot s;
  auto r = nandtest::Run(b, [] {
    const int rc = flash_erase(kDev, 0, 0);
    // The writer trusts this record instead of reading every block back.
    if (flash_erase_state(kDev, 3) != kBlockBad || flash_erase_state(kDev, 5) != kBlockErased ||
        flash_erase_state(kDev, 63) != kBlockErased || flash_erase_state(kDev, 64) != kBlockNotReached ||
        flash_erase_state("/dev/mtd1", 5) != kBlockNotReached)
      return 7;
    return rc;
  }, &s);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("Skipping bad block at 00060000Skipping bad block at 00080000", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(Blocks(0, 64, {3, 4}), s.erased);
  EXPECT_EQ(0u, s.open_fds);

  // A start inside a block erases that whole block.
  r = nandtest::Run(b, [] { return flash_erase(kDev, 0x20000 + 2048, 2); }, &s);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(Blocks(1, 3), s.erased);
}

TEST(FlashErase, NegativeCountOrStartIsAnEmptyRange) {
  Board b;
  Snapshot s;
  auto r = nandtest::Run(b, [] { return flash_erase(kDev, 0, -0x20000 / 0x20000); }, &s);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out + r.err);
  EXPECT_TRUE(s.erased.empty());
  r = nandtest::Run(b, [] { return flash_erase(kDev, -0x20000, 0); }, &s);
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(s.erased.empty());
}

TEST(FlashErase, BeyondTheDeviceAndFailingBlocks) {
  Board b;
  b.chip.fail_erase(62);
  Snapshot s;
  auto r = nandtest::Run(b, [] {
    const int rc = flash_erase(kDev, 60 * 0x20000, 6);
    const FlashBlockState want[] = {kBlockNotReached, kBlockErased,    kBlockErased,
                                    kBlockEraseFailed, kBlockErased, kBlockNotReached};
    for (int i = 0; i < 6; i++)
      if (flash_erase_state(kDev, 59 + i) != want[i]) return 7;
    return rc;
  }, &s);
  EXPECT_EQ(255, r.status);  // -1
  EXPECT_EQ("libmtd: error!: MEMERASE64 ioctl failed for eraseblock 62 (mtd0)\n" + ErrLine(6, EIO) +
                "flash_erase: error!: /dev/mtd0: MTD Erase failure\n" + ErrLine(11, EIO) +
                "libmtd: error!: bad eraseblock number 64, mtd0 has 64 eraseblocks\n"
                "flash_erase: error!: /dev/mtd0: MTD get bad block failed\n" + ErrLine(11, EINVAL),
            r.err);
  EXPECT_EQ((std::vector<uint32_t>{60, 61, 63}), s.erased);

  // A start past the device with count 0 is empty.
  r = nandtest::Run(b, [] { return flash_erase(kDev, 70 * 0x20000, 0); }, &s);
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(s.erased.empty());
}

TEST(FlashErase, SetupFailuresAndMissingBadBlockSupport) {
  Board b;
  auto r = nandtest::Run(b, [] { return flash_erase("/dev/mtd9", 0, 1); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("flash_erase: error!: /dev/mtd9\n" + ErrLine(11, ENOENT), r.err);

  b.k.add_node("/dev/mtd5", 90, 10, 0);
  r = nandtest::Run(b, [] { return flash_erase("/dev/mtd5", 0, 1); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("flash_erase: error!: mtd_get_dev_info failed\n", r.err);

  b.chip.bb_supported = false;
  Snapshot s;
  r = nandtest::Run(b, [] {
    const int rc = flash_erase(kDev, 0, 2);
    // Stopped before block 0: nothing of the range may pass for erased.
    return flash_erase_state(kDev, 0) == kBlockNotReached ? rc : 7;
  }, &s);
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("libmtd: error!: MEMGETBADBLOCK ioctl failed for eraseblock 0 (mtd0)\n" + ErrLine(6, EOPNOTSUPP) +
                "flash_erase: error!: /dev/mtd0: Bad block check not available\n",
            r.err);
  EXPECT_TRUE(s.erased.empty());
}

}  // namespace
