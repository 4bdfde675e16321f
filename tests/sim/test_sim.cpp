// The simulator is the ground truth of every flash test, so its NAND rules, its answers to
// the MTD requests and its bookkeeping are checked here against what the board's kernel does.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "sim_kernel.h"

namespace {

const uint32_t kPage = 2048, kOob = 64, kEb = 128 * 1024;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

// ---------------------------------------------------------------------------------------------
// The chip alone

TEST(Chip, StartsErasedAndProgramOnlyClearsBits) {
  sim::Chip chip;
  chip.strict = false;
  EXPECT_EQ(64u, chip.block_count());
  EXPECT_EQ(64u, chip.pages_per_block());
  EXPECT_TRUE(chip.is_erased(0, chip.geometry().size));

  std::vector<uint8_t> a(kPage, 0xF0), b(kPage, 0x3C);
  ASSERT_EQ(0, chip.program(0, a.data(), kPage));
  EXPECT_EQ(0xF0, chip.data(0)[0]);
  EXPECT_FALSE(chip.is_erased(0, kPage));
  EXPECT_TRUE(chip.is_erased(kPage, kPage));  // the neighbour page is untouched
  EXPECT_EQ(0u, chip.violations());

  // A second program over programmed bytes can only clear more bits, and is a violation.
  ASSERT_EQ(0, chip.program(0, b.data(), kPage));
  EXPECT_EQ(0x30, chip.data(0)[kPage - 1]);
  EXPECT_EQ(1u, chip.violations());

  // All-ones over programmed bytes changes nothing and breaks no rule.
  std::vector<uint8_t> ones(kPage, 0xFF);
  ASSERT_EQ(0, chip.program(0, ones.data(), kPage));
  EXPECT_EQ(0x30, chip.data(0)[0]);
  EXPECT_EQ(1u, chip.violations());
  EXPECT_EQ(3u, chip.programs());

  // Only bytes programmed twice count, wherever they sit in a page.
  std::vector<uint8_t> c(kPage, 0xFF);
  c[11] = 0x7F;
  ASSERT_EQ(0, chip.program(2 * kPage, c.data(), kPage));
  c[11] = 0xFF;
  c[12] = 0x00;
  ASSERT_EQ(0, chip.program(2 * kPage, c.data(), kPage));
  EXPECT_EQ(1u, chip.violations());
  c[11] = 0xFE;
  ASSERT_EQ(0, chip.program(2 * kPage, c.data(), kPage));
  EXPECT_EQ(2u, chip.violations());
  EXPECT_EQ(0x7E, chip.data(2 * kPage)[11]);

  // OOB follows the same rules.
  uint8_t o1[4] = {0x0F, 0xFF, 0xAA, 0xFF}, o2[4] = {0xF3, 0x00, 0xFF, 0xFF};
  ASSERT_EQ(0, chip.program_oob(5, 10, o1, 4));
  ASSERT_EQ(0, chip.program_oob(5, 10, o2, 4));
  EXPECT_EQ(0x03, chip.oob(5)[10]);
  EXPECT_EQ(0x00, chip.oob(5)[11]);
  EXPECT_EQ(0xAA, chip.oob(5)[12]);
  EXPECT_EQ(3u, chip.violations());
  EXPECT_FALSE(chip.is_erased(5 * kPage, kPage));  // OOB counts for erased state
}

TEST(Chip, EraseResetsDataAndOobOfOneBlockOnly) {
  sim::Chip chip;
  chip.fill(0, 3 * kEb, 0x00);
  uint8_t z[kOob] = {};
  for (uint64_t p = 0; p < 3 * 64; p++) ASSERT_EQ(0, chip.program_oob(p, 0, z, kOob));
  ASSERT_EQ(0, chip.erase(1));
  EXPECT_TRUE(chip.is_erased(kEb, kEb));
  EXPECT_EQ(0x00, chip.data(kEb - 1)[0]);
  EXPECT_EQ(0x00, chip.data(2 * kEb)[0]);
  EXPECT_EQ(0x00, chip.oob(63)[kOob - 1]);
  EXPECT_EQ(0x00, chip.oob(128)[0]);
  EXPECT_EQ(0xFF, chip.oob(64)[0]);
  EXPECT_EQ(0xFF, chip.oob(127)[kOob - 1]);
  EXPECT_EQ(std::vector<uint32_t>{1}, chip.erased_blocks);
  EXPECT_EQ(1u, chip.erases());
  EXPECT_EQ(-EINVAL, chip.erase(chip.block_count()));
}

TEST(Chip, BadAndLockedBlocksRefuseProgramAndErase) {
  sim::Chip chip;
  chip.mark_bad(2);
  EXPECT_TRUE(chip.is_bad(2));
  EXPECT_FALSE(chip.is_bad(1));
  EXPECT_FALSE(chip.is_bad(3));
  EXPECT_EQ(1u, chip.ecc_badblocks);
  chip.mark_bad(2);
  EXPECT_EQ(1u, chip.ecc_badblocks);  // counted once

  std::vector<uint8_t> d(kPage, 0);
  EXPECT_EQ(-EIO, chip.program(2 * kEb + 5 * kPage, d.data(), kPage));
  EXPECT_EQ(-EIO, chip.program_oob(2 * 64, 0, d.data(), 4));
  EXPECT_EQ(-EIO, chip.erase(2));
  EXPECT_TRUE(chip.is_erased(2 * kEb, kEb));
  EXPECT_TRUE(chip.erased_blocks.empty());

  chip.lock(4);
  EXPECT_TRUE(chip.is_locked(4));
  EXPECT_EQ(-EIO, chip.erase(4));
  EXPECT_EQ(-EIO, chip.program(4 * kEb, d.data(), kPage));
  chip.lock(4, false);
  EXPECT_EQ(0, chip.program(4 * kEb, d.data(), kPage));
}

TEST(Chip, ProgramFaultsFireTheGivenNumberOfTimes) {
  sim::Chip chip;
  std::vector<uint8_t> d = Pattern(3 * kPage, 1);
  chip.fail_program(11, EIO, 2);
  // A write over pages 10..12 stops at page 11: page 10 is programmed, 11 and 12 are not.
  EXPECT_EQ(-EIO, chip.program(10 * kPage, d.data(), 3 * kPage));
  EXPECT_EQ(0, memcmp(chip.data(10 * kPage), d.data(), kPage));
  EXPECT_TRUE(chip.is_erased(11 * kPage, 2 * kPage));
  EXPECT_EQ(2u, chip.programs());
  EXPECT_EQ(-EIO, chip.program_oob(11, 0, d.data(), 8));  // OOB programs hit the fault too
  EXPECT_EQ(0, chip.program(11 * kPage, d.data() + kPage, kPage));
  EXPECT_EQ(0, memcmp(chip.data(11 * kPage), d.data() + kPage, kPage));

  chip.fail_program(20, EROFS, -1);
  for (int i = 0; i < 5; i++) EXPECT_EQ(-EROFS, chip.program(20 * kPage, d.data(), kPage));

  chip.fail_erase(3, EIO, 1);
  chip.fill(3 * kEb, kPage, 0x11);
  EXPECT_EQ(-EIO, chip.erase(3));
  EXPECT_EQ(0x11, chip.data(3 * kEb)[0]);  // a failed erase leaves the block as it was
  EXPECT_EQ(0, chip.erase(3));
  EXPECT_TRUE(chip.is_erased(3 * kEb, kEb));
  EXPECT_EQ(std::vector<uint32_t>{3}, chip.erased_blocks);
  EXPECT_EQ(2u, chip.erases());

  chip.fail_erase(5, EIO, -1);
  for (int i = 0; i < 3; i++) EXPECT_EQ(-EIO, chip.erase(5));
}

TEST(Chip, ReadsCountBitflipsOfEveryPageTouched) {
  sim::Chip chip;
  chip.bitflips(3, 2, 0);
  chip.bitflips(4, 0, 1);
  std::vector<uint8_t> buf(3 * kPage);
  ASSERT_EQ(0, chip.read(0, buf.data(), 3 * kPage));  // pages 0..2: clean
  EXPECT_EQ(0u, chip.ecc_corrected);
  ASSERT_EQ(0, chip.read(3 * kPage + kPage - 1, buf.data(), 2));  // one byte each of 3 and 4
  EXPECT_EQ(2u, chip.ecc_corrected);
  EXPECT_EQ(1u, chip.ecc_failed);
  ASSERT_EQ(0, chip.read(3 * kPage, buf.data(), 16));
  EXPECT_EQ(4u, chip.ecc_corrected);
  EXPECT_EQ(1u, chip.ecc_failed);
  EXPECT_EQ(-EINVAL, chip.read(chip.geometry().size - 1, buf.data(), 2));
}

TEST(Chip, OtherGeometries) {
  sim::Geometry g;
  g.page_size = 4096;
  g.oob_size = 224;
  g.eb_size = 256 * 1024;
  g.size = 4ull << 20;
  sim::Chip big(g);
  EXPECT_EQ(16u, big.block_count());
  EXPECT_EQ(64u, big.pages_per_block());
  EXPECT_EQ(4096u, big.geometry().subpage_size);  // 0 means one page
  std::vector<uint8_t> d(4096, 0x42);
  EXPECT_EQ(-EINVAL, big.program(2048, d.data(), 2048));
  ASSERT_EQ(0, big.program(4096, d.data(), 4096));
  uint8_t o[224];
  memset(o, 0, sizeof o);
  EXPECT_EQ(0, big.program_oob(1, 0, o, 224));
  EXPECT_EQ(-EINVAL, big.program_oob(1, 1, o, 224));
  EXPECT_EQ(0, big.erase(0));
  EXPECT_TRUE(big.is_erased(0, g.eb_size));

  sim::Geometry s;
  s.subpage_size = 512;
  sim::Chip sub(s);
  EXPECT_EQ(-EINVAL, sub.program(256, d.data(), 512));
  EXPECT_EQ(-EINVAL, sub.program(512, d.data(), 256));
  ASSERT_EQ(0, sub.program(512, d.data(), 512));
  ASSERT_EQ(0, sub.program(1536, d.data(), 1024));  // crosses into the next page
  EXPECT_TRUE(sub.is_erased(0, 512));
  EXPECT_EQ(0x42, sub.data(512)[0]);
  EXPECT_EQ(0x42, sub.data(2559)[0]);
  EXPECT_EQ(0xFF, sub.data(2560)[0]);
  EXPECT_EQ(3u, sub.programs());

  sim::Geometry board;
  board.size = 128ull << 20;
  sim::Chip full(board);
  EXPECT_EQ(1024u, full.block_count());
  ASSERT_EQ(0, full.program(board.size - kPage, d.data(), kPage));
  EXPECT_EQ(0x42, full.data(board.size - 1)[0]);
  EXPECT_EQ(0, full.erase(1023));
  EXPECT_TRUE(full.is_erased(board.size - kEb, kEb));
}

// A power cut interrupts the operation after the given number, counted from the call: an erase
// leaves the first half of its block erased, a page program leaves its page unreadable; then
// the chip refuses everything, changing nothing, until it is revived.
TEST(Chip, PowerCutInterruptsOneOperationAndKillsTheChip) {
  const ssize_t page = kPage;
  auto eio = [](long rc) { return rc == -1 && errno == EIO; };
  for (bool at_erase : {true, false}) {
    SCOPED_TRACE(at_erase ? "erase" : "program");
    sim::Chip chip;
    chip.strict = false;
    sim::Kernel k;
    k.add_mtd(0, &chip, "all");
    k.add_block("/dev/mtdblock0", &chip, 0, kEb);
    chip.fill(kEb, kEb, 0x00);
    memset(chip.oob(64), 0x00, 64 * kOob);
    std::vector<uint8_t> d = Pattern(kPage, 3), half = d, back(kPage);
    std::fill(half.begin() + kPage / 2, half.end(), 0xFF);
    ASSERT_EQ(0, chip.program(0, d.data(), kPage));
    chip.cut_after(1);
    int fd = k_open("/dev/mtd0", O_RDWR);
    auto at = [fd](off_t offset) { return k_lseek(fd, offset, SEEK_SET) == offset; };
    erase_info_user block0 = {0, kEb}, block1 = {kEb, kEb};
    ASSERT_TRUE(at(2 * kPage));
    ASSERT_EQ(page, k_write(fd, d.data(), kPage));
    ASSERT_TRUE(at(kPage));
    EXPECT_TRUE(eio(at_erase ? k_ioctl(fd, MEMERASE, &block1) : k_write(fd, half.data(), kPage)));
    EXPECT_TRUE(chip.cut());
    EXPECT_EQ(at_erase, chip.is_erased(kEb, kEb / 2));
    EXPECT_FALSE(chip.is_erased(kEb + kEb / 2, kPage));
    EXPECT_EQ(0x00, chip.oob(64 + 32)[0]);
    EXPECT_EQ(!at_erase, chip.page_unreadable(1));
    EXPECT_FALSE(chip.page_unreadable(2));
    EXPECT_EQ(at_erase ? 0xFF : d[0], chip.data(kPage)[0]);
    EXPECT_TRUE(chip.erased_blocks.empty());
    EXPECT_EQ(at_erase, chip.is_erased(kPage + kPage / 2, kPage / 2));  // its bytes are 0xFF

    loff_t block3 = 3 * kEb;
    mtd_oob_buf oob = {2 * kPage, 4, back.data()};
    EXPECT_TRUE(eio(k_ioctl(fd, MEMERASE, &block1)));
    EXPECT_TRUE(eio(k_ioctl(fd, MEMSETBADBLOCK, &block3)));
    EXPECT_TRUE(eio(k_ioctl(fd, MEMGETBADBLOCK, &block3)));
    EXPECT_TRUE(eio(k_ioctl(fd, MEMREADOOB, &oob)));
    EXPECT_TRUE(eio(k_ioctl(fd, MEMLOCK, &block1)));
    int blk = k_open("/dev/mtdblock0", O_RDWR);
    ASSERT_EQ(3 * kPage, k_lseek(blk, 3 * kPage, SEEK_SET));
    EXPECT_TRUE(eio(k_write(blk, d.data(), kPage)));
    EXPECT_EQ(0, k_close(blk));
    ASSERT_TRUE(at(3 * kPage));
    EXPECT_TRUE(eio(k_write(fd, d.data(), kPage)));
    EXPECT_TRUE(eio(k_read(fd, back.data(), kPage)));
    ASSERT_EQ(0, k_ioctl(fd, MTDFILEMODE, reinterpret_cast<void*>(MTD_FILE_MODE_RAW)));
    EXPECT_TRUE(eio(k_read(fd, back.data(), kPage)));
    ASSERT_EQ(0, k_ioctl(fd, MTDFILEMODE, reinterpret_cast<void*>(MTD_FILE_MODE_NORMAL)));
    EXPECT_EQ(0x00, chip.data(2 * kEb - 1)[0]);
    EXPECT_FALSE(chip.is_bad(3));
    EXPECT_FALSE(chip.is_locked(1));
    EXPECT_TRUE(chip.is_erased(3 * kPage, kPage));
    EXPECT_EQ(3u, chip.ops());

    chip.revive();
    EXPECT_FALSE(chip.cut());
    ASSERT_TRUE(at(2 * kPage));
    ASSERT_EQ(page, k_read(fd, back.data(), kPage));
    EXPECT_EQ(d, back);
    ASSERT_TRUE(at(kPage));
    EXPECT_EQ(at_erase ? page : -1, k_read(fd, back.data(), kPage));
    EXPECT_EQ(at_erase ? 0u : 1u, chip.ecc_failed);
    std::vector<uint8_t> tail(kPage, 0xFF);
    tail.back() = 0;
    ASSERT_EQ(0, chip.program(kPage, tail.data(), kPage));
    EXPECT_EQ(at_erase ? 0u : 1u, chip.violations());  // the page was not erased
    ASSERT_EQ(0, k_ioctl(fd, MEMERASE, &block0));
    ASSERT_TRUE(at(kPage));
    EXPECT_EQ(page, k_read(fd, back.data(), kPage));  // erasing the block healed the page
    EXPECT_EQ(0, k_close(fd));
  }
}

// ---------------------------------------------------------------------------------------------
// The boundary itself: what other tests would not notice

TEST(Boundary, DescriptorsAreUniqueRealNumbers) {
  sim::Chip chip;
  sim::Kernel k;
  k.add_mtd(0, &chip, "all");
  testutil::TempDir dir;
  std::set<int> seen;
  std::vector<int> fds;
  for (int i = 0; i < 4; i++) fds.push_back(k_open("/dev/mtd0", O_RDONLY));
  fds.push_back(k_open("/proc/mtd", O_RDONLY));
  fds.push_back(k_open(dir.file("x").c_str(), O_RDWR | O_CREAT, 0600));
  for (int fd : fds) {
    EXPECT_GT(fd, 2);
    EXPECT_TRUE(seen.insert(fd).second) << fd;
  }
  EXPECT_EQ(5u, k.open_fds());
  // A descriptor number the simulator holds is never handed out by the real system.
  int real = ::open("/dev/null", O_RDONLY);
  EXPECT_EQ(0u, seen.count(real));
  ::close(real);
  for (int fd : fds) EXPECT_EQ(0, k_close(fd));
  EXPECT_EQ(0u, k.open_fds());
}

}  // namespace
