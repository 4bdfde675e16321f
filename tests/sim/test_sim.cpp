// The simulator's NAND rules and power cut, the ground truth of every flash test above it.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "sim_kernel.h"

namespace {

const uint32_t kPage = 2048, kOob = 64, kEb = 128 * 1024;

TEST(Chip, ProgramClearsBitsOnlyOfErasedBytesAndEraseSetsOneBlock) {
  sim::Chip chip;
  chip.strict = false;
  std::vector<uint8_t> a(kPage, 0xF0), b(kPage, 0x3C), ones(kPage, 0xFF);
  ASSERT_EQ(0, chip.program(kPage, a.data(), kPage));
  EXPECT_TRUE(!chip.is_erased(kPage, kPage) && chip.is_erased(0, kPage));
  ASSERT_EQ(0, chip.program(kPage, b.data(), kPage));     // over programmed bytes: ANDed and counted
  ASSERT_EQ(0, chip.program(kPage, ones.data(), kPage));  // all-ones changes nothing, breaks nothing
  EXPECT_TRUE(chip.data(2 * kPage - 1)[0] == 0x30 && chip.violations() == 1 && chip.programs() == 3);
  uint8_t o1[2] = {0x0F, 0xFF}, o2[2] = {0xF3, 0x00};
  ASSERT_EQ(0, chip.program_oob(70, 10, o1, 2));
  EXPECT_FALSE(chip.is_erased(70 * kPage, kPage));  // OOB counts for erased state
  ASSERT_EQ(0, chip.program_oob(70, 10, o2, 2));
  EXPECT_TRUE(chip.oob(70)[10] == 0x03 && chip.oob(70)[11] == 0x00 && chip.violations() == 2);
  // An erase sets data and OOB of its block, and of no other, to 0xFF.
  chip.fill(0, 3 * kEb, 0x00);
  for (uint64_t p = 0; p < 3 * 64; p++) memset(chip.oob(p), 0, kOob);
  ASSERT_EQ(0, chip.erase(1));
  EXPECT_TRUE(chip.is_erased(kEb, kEb) && chip.data(kEb - 1)[0] == 0 && chip.data(2 * kEb)[0] == 0 &&
              chip.oob(63)[kOob - 1] == 0 && chip.oob(128)[0] == 0 && chip.oob(64)[0] == 0xFF &&
              chip.oob(127)[kOob - 1] == 0xFF);
  EXPECT_TRUE(chip.erased_blocks == std::vector<uint32_t>{1} && chip.erase(64) == -EINVAL);
  EXPECT_EQ(-EINVAL, chip.program(1024, a.data(), 2048));  // programs go by whole pages
}

TEST(Chip, BadLockedAndFailingBlocksChangeNothing) {
  sim::Chip chip;
  chip.mark_bad(2);
  chip.lock(4);
  std::vector<uint8_t> d(3 * kPage, 0);
  for (uint32_t eb : {2u, 4u}) {
    EXPECT_TRUE(chip.program(eb * kEb + 5 * kPage, d.data(), kPage) == -EIO && chip.erase(eb) == -EIO &&
                chip.program_oob(eb * 64, 0, d.data(), 4) == -EIO);
    EXPECT_TRUE(chip.is_erased(eb * kEb, kEb) && !chip.is_bad(eb + 1));
  }
  // A multi-page program stops at the failing page: the pages before it stay programmed.
  chip.fail_program(11, EROFS, 2);
  EXPECT_EQ(-EROFS, chip.program(10 * kPage, d.data(), 3 * kPage));
  EXPECT_TRUE(!chip.is_erased(10 * kPage, kPage) && chip.is_erased(11 * kPage, 2 * kPage));
  chip.fail_erase(3, EIO, 1);
  chip.fill(3 * kEb, kPage, 0x11);
  EXPECT_EQ(-EIO, chip.erase(3));
  EXPECT_TRUE(chip.data(3 * kEb)[0] == 0x11 && chip.erase(3) == 0);
  // Reads count the bitflips of every page they touch.
  chip.bitflips(30, 2, 0), chip.bitflips(31, 0, 1);
  EXPECT_TRUE(chip.read(30 * kPage + kPage - 1, d.data(), 2) == 0 && chip.ecc_corrected == 2 &&
              chip.ecc_failed == 1);
}

// A power cut interrupts the next operation but one: an erase leaves the first half of its block
// erased, a page program leaves its page unreadable; then the chip refuses everything, changing
// nothing, until it is revived.
TEST(Chip, PowerCutInterruptsOneOperationAndKillsTheChip) {
  for (bool at_erase : {true, false}) {
    SCOPED_TRACE(at_erase);
    sim::Chip chip;
    chip.strict = false;
    sim::Kernel k;
    k.add_mtd(0, &chip, "all");
    chip.fill(kEb, kEb, 0x00);
    std::vector<uint8_t> d(kPage, 0x5A), back(kPage);
    chip.cut_after(1);
    const int fd = k_open("/dev/mtd0", O_RDWR);
    auto eio = [](long rc) { return rc == -1 && errno == EIO; };
    erase_info_user block1 = {kEb, kEb};
    ASSERT_EQ(0, chip.program(0, d.data(), kPage));
    EXPECT_TRUE(eio(at_erase ? k_ioctl(fd, MEMERASE, &block1)
                             : (k_lseek(fd, kPage, SEEK_SET), k_write(fd, d.data(), kPage))));
    EXPECT_TRUE(chip.cut() && chip.erased_blocks.empty() && !chip.is_erased(kEb + kEb / 2, kPage));
    EXPECT_TRUE(at_erase == chip.is_erased(kEb, kEb / 2) && at_erase != chip.page_unreadable(1));
    loff_t block3 = 3 * kEb;
    EXPECT_TRUE(eio(k_ioctl(fd, MEMERASE, &block1)) && eio(k_ioctl(fd, MEMSETBADBLOCK, &block3)) &&
                eio((k_lseek(fd, 3 * kPage, SEEK_SET), k_write(fd, d.data(), kPage))));
    EXPECT_TRUE(chip.is_erased(3 * kPage, kPage) && !chip.is_bad(3) && chip.ops() == 2);
    chip.revive();
    EXPECT_EQ(at_erase ? long(kPage) : -1, (k_lseek(fd, kPage, SEEK_SET), k_read(fd, back.data(), kPage)));
    ASSERT_EQ(0, chip.erase(0));  // erasing the block heals an interrupted page
    EXPECT_EQ(long(kPage), (k_lseek(fd, kPage, SEEK_SET), k_read(fd, back.data(), kPage)));
    k_close(fd);
  }
}

}  // namespace
