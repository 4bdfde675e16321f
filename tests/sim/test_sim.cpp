// The simulator is the ground truth of every flash test, so its NAND rules, its answers to
// the MTD requests and its bookkeeping are checked here against what the board's kernel does.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
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

std::string Slurp(const char* path) {
  int fd = k_open(path, O_RDONLY);
  if (fd < 0) return "<open failed>";
  std::string s;
  char buf[256];
  ssize_t n;
  while ((n = k_read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  k_close(fd);
  return s;
}

std::vector<std::string> List(const char* path) {
  std::vector<std::string> out;
  kernel_dir* d = k_opendir(path);
  if (!d) return out;
  while (const char* n = k_readdir(d)) out.push_back(n);
  k_closedir(d);
  return out;
}

// ---------------------------------------------------------------------------------------------
// The chip alone

TEST(Chip, StartsErasedAndProgramOnlyClearsBits) {
  sim::Chip chip;
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

  // OOB follows the same rules.
  uint8_t o1[4] = {0x0F, 0xFF, 0xAA, 0xFF}, o2[4] = {0xF3, 0x00, 0xFF, 0xFF};
  ASSERT_EQ(0, chip.program_oob(5, 10, o1, 4));
  ASSERT_EQ(0, chip.program_oob(5, 10, o2, 4));
  EXPECT_EQ(0x03, chip.oob(5)[10]);
  EXPECT_EQ(0x00, chip.oob(5)[11]);
  EXPECT_EQ(0xAA, chip.oob(5)[12]);
  EXPECT_EQ(2u, chip.violations());
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

// ---------------------------------------------------------------------------------------------
// Nodes, sysfs and "/proc/mtd"

TEST(Nodes, DeviceNodesSysfsAndProcMtd) {
  sim::Chip chip;
  sim::Kernel k;
  k.add_mtd(0, &chip, "all");
  k.add_mtd(3, &chip, "kernel", 2 * kEb, 8 * kEb);

  struct stat st;
  ASSERT_EQ(0, k_stat("/dev/mtd3", &st));
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(90u, major(st.st_rdev));
  EXPECT_EQ(6u, minor(st.st_rdev));
  ASSERT_EQ(0, k_stat("/dev/mtd3ro", &st));
  EXPECT_EQ(7u, minor(st.st_rdev));
  EXPECT_EQ(-1, k_stat("/dev/mtd1", &st));
  EXPECT_EQ(ENOENT, errno);

  EXPECT_EQ("90:6\n", Slurp("/sys/class/mtd/mtd3/dev"));
  EXPECT_EQ("kernel\n", Slurp("/sys/class/mtd/mtd3/name"));
  EXPECT_EQ("nand\n", Slurp("/sys/class/mtd/mtd3/type"));
  EXPECT_EQ("131072\n", Slurp("/sys/class/mtd/mtd3/erasesize"));
  EXPECT_EQ("1048576\n", Slurp("/sys/class/mtd/mtd3/size"));
  EXPECT_EQ("8388608\n", Slurp("/sys/class/mtd/mtd0/size"));
  EXPECT_EQ("2048\n", Slurp("/sys/class/mtd/mtd3/writesize"));
  EXPECT_EQ("2048\n", Slurp("/sys/class/mtd/mtd3/subpagesize"));
  EXPECT_EQ("64\n", Slurp("/sys/class/mtd/mtd3/oobsize"));
  EXPECT_EQ("0\n", Slurp("/sys/class/mtd/mtd3/numeraseregions"));
  EXPECT_EQ("0x400\n", Slurp("/sys/class/mtd/mtd3/flags"));
  EXPECT_EQ("90:7\n", Slurp("/sys/class/mtd/mtd3ro/dev"));
  ASSERT_EQ(0, k_stat("/sys/class/mtd/mtd3ro", &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(0, k_stat("/sys/class/mtd//mtd3/", &st));  // paths are taken as the kernel does
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  EXPECT_EQ((std::vector<std::string>{".", "..", "mtd0", "mtd0ro", "mtd3", "mtd3ro"}),
            List("/sys/class/mtd"));
  std::vector<std::string> attrs = List("/sys/class/mtd/mtd3");
  for (const char* a : {"dev", "name", "type", "erasesize", "size", "writesize", "subpagesize",
                        "oobsize", "numeraseregions", "flags"})
    EXPECT_NE(attrs.end(), std::find(attrs.begin(), attrs.end(), a)) << a;

  const std::string proc =
      "dev:    size   erasesize  name\n"
      "mtd0: 00800000 00020000 \"all\"\n"
      "mtd3: 00100000 00020000 \"kernel\"\n";
  EXPECT_EQ(proc, k.proc_mtd());
  EXPECT_EQ(proc, Slurp("/proc/mtd"));

  // Attribute files cannot be written, directories cannot be read.
  EXPECT_EQ(-1, k_open("/sys/class/mtd/mtd3/name", O_WRONLY));
  EXPECT_EQ(EACCES, errno);
  int dfd = k_open("/sys/class/mtd/mtd3", O_RDONLY);
  ASSERT_GE(dfd, 0);
  char c;
  EXPECT_EQ(-1, k_read(dfd, &c, 1));
  EXPECT_EQ(EISDIR, errno);
  k_close(dfd);
  EXPECT_EQ(nullptr, k_opendir("/sys/class/mtd/mtd3/name"));
  EXPECT_EQ(ENOTDIR, errno);
}

TEST(Nodes, OverridesAndFailures) {
  sim::Chip chip;
  sim::Kernel k;
  k.add_mtd(0, &chip, "all");
  k.add_mtd(1, &chip, "env", 0, kEb, "nor");
  EXPECT_EQ("0xc00\n", Slurp("/sys/class/mtd/mtd1/flags"));
  EXPECT_EQ("nor\n", Slurp("/sys/class/mtd/mtd1/type"));
  k.add_mtd(5, &chip, "boot", 0, kEb, "rom");
  EXPECT_EQ("0x0\n", Slurp("/sys/class/mtd/mtd5/flags"));
  EXPECT_EQ(-1, k_open("/dev/mtd5", O_RDWR));  // mtdchar refuses writers of read-only devices
  EXPECT_EQ(EACCES, errno);
  int rom = k_open("/dev/mtd5", O_RDONLY);
  ASSERT_GE(rom, 0);
  mtd_info_user info;
  ASSERT_EQ(0, k_ioctl(rom, MEMGETINFO, &info));
  EXPECT_EQ(MTD_ROM, info.type);
  EXPECT_EQ(0u, info.flags);
  k_close(rom);

  k.set_file("/sys/class/mtd/mtd0/type", "weird\n");
  EXPECT_EQ("weird\n", Slurp("/sys/class/mtd/mtd0/type"));
  struct stat fst;
  ASSERT_EQ(0, k_stat("/sys/class/mtd/mtd0/type", &fst));  // sizes as the kernel reports them
  EXPECT_EQ(4096, fst.st_size);
  ASSERT_EQ(0, k_stat("/proc/mtd", &fst));
  EXPECT_EQ(0, fst.st_size);
  k.set_file("/etc/version", "1.2.3\n");
  ASSERT_EQ(0, k_stat("/etc/version", &fst));
  EXPECT_TRUE(S_ISREG(fst.st_mode));
  EXPECT_EQ(6, fst.st_size);
  EXPECT_EQ("1.2.3\n", Slurp("/etc/version"));
  k.set_file("/sys/class/mtd/mtd7/name", "ghost\n");  // its directory appears with it
  struct stat st;
  ASSERT_EQ(0, k_stat("/sys/class/mtd/mtd7", &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ((std::vector<std::string>{".", "..", "mtd0", "mtd0ro", "mtd1", "mtd1ro", "mtd5",
                                      "mtd5ro", "mtd7"}),
            List("/sys/class/mtd"));

  k.remove_file("/sys/class/mtd/mtd0/size");
  EXPECT_EQ(-1, k_open("/sys/class/mtd/mtd0/size", O_RDONLY));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, k_stat("/sys/class/mtd/mtd0/size", &st));
  std::vector<std::string> attrs = List("/sys/class/mtd/mtd0");
  EXPECT_EQ(attrs.end(), std::find(attrs.begin(), attrs.end(), "size"));
  k.set_file("/sys/class/mtd/mtd0/size", "12\n");  // setting again brings it back
  EXPECT_EQ("12\n", Slurp("/sys/class/mtd/mtd0/size"));

  k.fail_reads("/sys/class/mtd/mtd0/name", EIO);
  int fd = k_open("/sys/class/mtd/mtd0/name", O_RDONLY);
  ASSERT_GE(fd, 0);
  char buf[16];
  EXPECT_EQ(-1, k_read(fd, buf, sizeof buf));
  EXPECT_EQ(EIO, errno);
  k.fail_close("/sys/class/mtd/mtd0/name", EBADF);
  EXPECT_EQ(-1, k_close(fd));
  EXPECT_EQ(EBADF, errno);
  EXPECT_EQ(0u, k.open_fds());  // the descriptor is released anyway

  k.fail_open("/dev/mtd0", EBUSY, 1);
  EXPECT_EQ(-1, k_open("/dev/mtd0", O_RDWR));
  EXPECT_EQ(EBUSY, errno);
  fd = k_open("/dev/mtd0", O_RDWR);
  EXPECT_GE(fd, 0);
  k_close(fd);

  k.fail_readdir("/sys/class/mtd", EIO);
  kernel_dir* d = k_opendir("/sys/class/mtd");
  ASSERT_NE(nullptr, d);
  errno = 0;
  EXPECT_EQ(nullptr, k_readdir(d));
  EXPECT_EQ(EIO, errno);
  k.fail_closedir("/sys/class/mtd", EIO);
  EXPECT_EQ(-1, k_closedir(d));

  k.no_proc_mtd();
  EXPECT_EQ(-1, k_open("/proc/mtd", O_RDONLY));
  EXPECT_EQ(ENOENT, errno);
  k.no_sysfs();
  EXPECT_EQ(nullptr, k_opendir("/sys/class/mtd"));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, k_open("/sys/class/mtd/mtd1/name", O_RDONLY));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_GE(k_stat("/dev/mtd0", &st), 0);  // the nodes stay

  k.add_node("/dev/mtd9", 90, 7, 1);  // minor 7 is the read-only twin of mtd3's numbers
  ASSERT_EQ(0, k_stat("/dev/mtd9", &st));
  EXPECT_EQ(7u, minor(st.st_rdev));
  EXPECT_EQ(-1, k_open("/dev/mtd9", O_RDWR));
  EXPECT_EQ(EACCES, errno);
  k.add_node("/dev/mtdx", 31, 0);
  ASSERT_EQ(0, k_stat("/dev/mtdx", &st));
  EXPECT_EQ(31u, major(st.st_rdev));
  EXPECT_EQ(-1, k_open("/dev/mtdx", O_RDONLY));
  EXPECT_EQ(ENXIO, errno);
}

TEST(Nodes, BlockViewReadsChipBytes) {
  sim::Chip chip;
  sim::Kernel k;
  std::vector<uint8_t> d = Pattern(kPage, 9);
  ASSERT_EQ(0, chip.program(4 * kEb, d.data(), kPage));
  k.add_block("/dev/mtdblock4", &chip, 4 * kEb, 2 * kEb);
  struct stat st;
  ASSERT_EQ(0, k_stat("/dev/mtdblock4", &st));
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(31u, major(st.st_rdev));
  EXPECT_EQ(4u, minor(st.st_rdev));
  int fd = k_open("/dev/mtdblock4", O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> buf(kPage);
  ASSERT_EQ(static_cast<ssize_t>(kPage), k_read(fd, buf.data(), kPage));
  EXPECT_EQ(d, buf);
  ASSERT_EQ(static_cast<off_t>(2 * kEb - 10), k_lseek(fd, -10, SEEK_END));
  EXPECT_EQ(10, k_read(fd, buf.data(), kPage));  // a read stops at the end of the view
  EXPECT_EQ(0, k_read(fd, buf.data(), kPage));
  EXPECT_EQ(-1, k_lseek(fd, 2 * kEb + 1, SEEK_SET));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(0, k_close(fd));
}

// ---------------------------------------------------------------------------------------------
// read/write/lseek on /dev/mtdN

class MtdDev : public ::testing::Test {
 protected:
  void Open(const sim::Geometry& g = sim::Geometry(), int flags = O_RDWR) {
    chip.reset(new sim::Chip(g));
    k.add_mtd(0, chip.get(), "all");
    k.add_mtd(2, chip.get(), "part", 8 * g.eb_size, 16 * g.eb_size);
    fd = k_open("/dev/mtd0", flags);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override {
    if (fd >= 0) k_close(fd);
  }
  sim::Kernel k;
  std::unique_ptr<sim::Chip> chip;
  int fd = -1;
};

TEST_F(MtdDev, ReadWriteSeek) {
  Open();
  std::vector<uint8_t> d = Pattern(2 * kPage, 3), buf(2 * kPage);
  ASSERT_EQ(static_cast<off_t>(kEb), k_lseek(fd, kEb, SEEK_SET));
  ASSERT_EQ(static_cast<ssize_t>(d.size()), k_write(fd, d.data(), d.size()));
  EXPECT_EQ(0, memcmp(chip->data(kEb), d.data(), d.size()));
  EXPECT_EQ(static_cast<off_t>(kEb + 2 * kPage), k_lseek(fd, 0, SEEK_CUR));
  ASSERT_EQ(static_cast<off_t>(kEb + 1), k_lseek(fd, kEb + 1, SEEK_SET));
  ASSERT_EQ(100, k_read(fd, buf.data(), 100));  // reads need no alignment
  EXPECT_EQ(0, memcmp(buf.data(), d.data() + 1, 100));

  // Writes must be page aligned in offset and length.
  ASSERT_EQ(static_cast<off_t>(kEb + 2 * kPage), k_lseek(fd, kEb + 2 * kPage, SEEK_SET));
  EXPECT_EQ(-1, k_write(fd, d.data(), 100));
  EXPECT_EQ(EINVAL, errno);
  k_lseek(fd, 512, SEEK_SET);
  EXPECT_EQ(-1, k_write(fd, d.data(), kPage));
  EXPECT_EQ(EINVAL, errno);

  // The device ends where it ends.
  const off_t size = static_cast<off_t>(chip->geometry().size);
  EXPECT_EQ(size, k_lseek(fd, 0, SEEK_END));
  EXPECT_EQ(0, k_read(fd, buf.data(), 10));
  EXPECT_EQ(-1, k_write(fd, d.data(), kPage));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_EQ(-1, k_lseek(fd, size + 1, SEEK_SET));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, k_lseek(fd, -1, SEEK_SET));
  EXPECT_EQ(EINVAL, errno);
  k_lseek(fd, size - kPage, SEEK_SET);
  EXPECT_EQ(static_cast<ssize_t>(kPage), k_write(fd, d.data(), 2 * kPage));  // cut at the end

  // A partition view addresses the chip from its offset on.
  int pfd = k_open("/dev/mtd2", O_RDWR);
  ASSERT_GE(pfd, 0);
  ASSERT_EQ(static_cast<ssize_t>(kPage), k_write(pfd, d.data(), kPage));
  EXPECT_EQ(0, memcmp(chip->data(8 * kEb), d.data(), kPage));
  EXPECT_EQ(static_cast<off_t>(16 * kEb), k_lseek(pfd, 0, SEEK_END));
  k_close(pfd);

  int ro = k_open("/dev/mtd0", O_RDONLY);
  ASSERT_GE(ro, 0);
  EXPECT_EQ(-1, k_write(ro, d.data(), kPage));
  EXPECT_EQ(EBADF, errno);
  k_close(ro);
}

TEST_F(MtdDev, SubpageWrites) {
  sim::Geometry g;
  g.subpage_size = 512;
  Open(g);
  EXPECT_EQ("512\n", Slurp("/sys/class/mtd/mtd0/subpagesize"));
  std::vector<uint8_t> d = Pattern(1024, 5);
  k_lseek(fd, 256, SEEK_SET);
  EXPECT_EQ(-1, k_write(fd, d.data(), 512));
  EXPECT_EQ(EINVAL, errno);
  k_lseek(fd, 512, SEEK_SET);
  EXPECT_EQ(-1, k_write(fd, d.data(), 256));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(512, k_write(fd, d.data(), 512));
  EXPECT_EQ(1024, k_write(fd, d.data(), 1024));
  EXPECT_EQ(0, memcmp(chip->data(1024), d.data(), 1024));
  EXPECT_TRUE(chip->is_erased(0, 512));
  EXPECT_TRUE(chip->is_erased(2048, 512));
}

TEST_F(MtdDev, FailuresOfWrites) {
  Open();
  std::vector<uint8_t> d = Pattern(4 * kPage, 1);
  chip->mark_bad(3);
  k_lseek(fd, 3 * kEb, SEEK_SET);
  EXPECT_EQ(-1, k_write(fd, d.data(), kPage));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(static_cast<off_t>(3 * kEb), k_lseek(fd, 0, SEEK_CUR));  // no progress

  chip->fail_program(2, EIO, 1);
  k_lseek(fd, 0, SEEK_SET);
  EXPECT_EQ(-1, k_write(fd, d.data(), 4 * kPage));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(0, memcmp(chip->data(0), d.data(), 2 * kPage));
  EXPECT_TRUE(chip->is_erased(2 * kPage, 2 * kPage));
  EXPECT_EQ(0, k_lseek(fd, 0, SEEK_CUR));
  k_lseek(fd, 2 * kPage, SEEK_SET);
  EXPECT_EQ(static_cast<ssize_t>(2 * kPage), k_write(fd, d.data() + 2 * kPage, 2 * kPage));
  EXPECT_EQ(0, memcmp(chip->data(0), d.data(), 4 * kPage));
  EXPECT_EQ(0u, chip->violations());
}

TEST_F(MtdDev, EccCountedInNormalModeOnly) {
  Open();
  chip->bitflips(1, 3, 1);
  std::vector<uint8_t> buf(kPage);
  k_lseek(fd, kPage, SEEK_SET);
  ASSERT_EQ(static_cast<ssize_t>(kPage), k_read(fd, buf.data(), kPage));  // data comes back
  mtd_ecc_stats st;
  ASSERT_EQ(0, k_ioctl(fd, ECCGETSTATS, &st));
  EXPECT_EQ(3u, st.corrected);
  EXPECT_EQ(1u, st.failed);

  ASSERT_EQ(0, k_ioctl(fd, MTDFILEMODE, reinterpret_cast<void*>(MTD_FILE_MODE_RAW)));
  k_lseek(fd, kPage, SEEK_SET);
  ASSERT_EQ(static_cast<ssize_t>(kPage), k_read(fd, buf.data(), kPage));
  ASSERT_EQ(0, k_ioctl(fd, ECCGETSTATS, &st));
  EXPECT_EQ(3u, st.corrected);
  // The mode belongs to the descriptor, not to the device.
  int other = k_open("/dev/mtd0", O_RDONLY);
  k_lseek(other, kPage, SEEK_SET);
  ASSERT_EQ(static_cast<ssize_t>(kPage), k_read(other, buf.data(), kPage));
  k_close(other);
  EXPECT_EQ(6u, chip->ecc_corrected);
  EXPECT_EQ(2u, chip->ecc_failed);

  EXPECT_EQ(-1, k_ioctl(fd, MTDFILEMODE, reinterpret_cast<void*>(9)));
  EXPECT_EQ(EINVAL, errno);
  k.has_eccstats = false;
  EXPECT_EQ(-1, k_ioctl(fd, ECCGETSTATS, &st));
  EXPECT_EQ(ENOTTY, errno);
  k.mtdfilemode_errno = EOPNOTSUPP;
  EXPECT_EQ(-1, k_ioctl(fd, MTDFILEMODE, reinterpret_cast<void*>(MTD_FILE_MODE_RAW)));
  EXPECT_EQ(EOPNOTSUPP, errno);
  k.has_mtdfilemode = false;
  EXPECT_EQ(-1, k_ioctl(fd, MTDFILEMODE, reinterpret_cast<void*>(MTD_FILE_MODE_RAW)));
  EXPECT_EQ(ENOTTY, errno);
}

// ---------------------------------------------------------------------------------------------
// ioctls

TEST_F(MtdDev, InfoAndErase) {
  Open();
  mtd_info_user info;
  memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(0, k_ioctl(fd, MEMGETINFO, &info));
  EXPECT_EQ(MTD_NANDFLASH, info.type);
  EXPECT_EQ(static_cast<uint32_t>(MTD_WRITEABLE), info.flags);
  EXPECT_EQ(8u << 20, info.size);
  EXPECT_EQ(kEb, info.erasesize);
  EXPECT_EQ(kPage, info.writesize);
  EXPECT_EQ(kOob, info.oobsize);

  chip->fill(0, 4 * kEb, 0);
  erase_info_user e = {kEb, 2 * kEb};
  ASSERT_EQ(0, k_ioctl(fd, MEMERASE, &e));
  EXPECT_TRUE(chip->is_erased(kEb, 2 * kEb));
  EXPECT_EQ(0, chip->data(0)[kEb - 1]);
  EXPECT_EQ(0, chip->data(3 * kEb)[0]);
  EXPECT_EQ((std::vector<uint32_t>{1, 2}), chip->erased_blocks);

  erase_info_user64 e64 = {3 * kEb, kEb};
  ASSERT_EQ(0, k_ioctl(fd, MEMERASE64, &e64));
  EXPECT_EQ(3u, chip->erased_blocks.back());

  erase_info_user bad = {kEb + kPage, kEb};
  EXPECT_EQ(-1, k_ioctl(fd, MEMERASE, &bad));
  EXPECT_EQ(EINVAL, errno);
  bad = {kEb, kEb / 2};
  EXPECT_EQ(-1, k_ioctl(fd, MEMERASE, &bad));
  EXPECT_EQ(EINVAL, errno);
  bad = {static_cast<uint32_t>(chip->geometry().size), kEb};
  EXPECT_EQ(-1, k_ioctl(fd, MEMERASE, &bad));
  EXPECT_EQ(EINVAL, errno);
  bad = {static_cast<uint32_t>(chip->geometry().size - kEb), 2 * kEb};
  EXPECT_EQ(-1, k_ioctl(fd, MEMERASE, &bad));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(3u, chip->erases());  // refused requests never reach the chip

  chip->mark_bad(5);
  e = {5 * kEb, kEb};
  EXPECT_EQ(-1, k_ioctl(fd, MEMERASE, &e));
  EXPECT_EQ(EIO, errno);
  chip->fail_erase(6, EIO, 1);
  e = {6 * kEb, kEb};
  EXPECT_EQ(-1, k_ioctl(fd, MEMERASE, &e));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(0, k_ioctl(fd, MEMERASE, &e));

  // The partition's eraseblock 0 is the chip's eraseblock 8.
  int pfd = k_open("/dev/mtd2", O_RDWR);
  e = {0, kEb};
  ASSERT_EQ(0, k_ioctl(pfd, MEMERASE, &e));
  EXPECT_EQ(8u, chip->erased_blocks.back());
  e = {16 * kEb, kEb};
  EXPECT_EQ(-1, k_ioctl(pfd, MEMERASE, &e));
  EXPECT_EQ(EINVAL, errno);
  k_close(pfd);

  int ro = k_open("/dev/mtd0", O_RDONLY);
  e = {0, kEb};
  EXPECT_EQ(-1, k_ioctl(ro, MEMERASE, &e));
  EXPECT_EQ(EPERM, errno);
  k_close(ro);

  k.has_memerase64 = false;
  EXPECT_EQ(-1, k_ioctl(fd, MEMERASE64, &e64));
  EXPECT_EQ(ENOTTY, errno);
  EXPECT_EQ(-1, k_ioctl(fd, 0x12345678UL, &e));
  EXPECT_EQ(ENOTTY, errno);
}

TEST(LargeView, AddressesWrapAroundASmallChip) {
  sim::Chip chip;
  sim::Kernel k;
  k.add_mtd(0, &chip, "big", 0, 1ull << 33);
  EXPECT_EQ("8589934592\n", Slurp("/sys/class/mtd/mtd0/size"));
  EXPECT_NE(std::string::npos, k.proc_mtd().find("mtd0: 200000000 00020000 \"big\"\n"));
  int fd = k_open("/dev/mtd0", O_RDWR);
  ASSERT_GE(fd, 0);
  mtd_info_user info;
  ASSERT_EQ(0, k_ioctl(fd, MEMGETINFO, &info));
  EXPECT_EQ(0u, info.size);  // the old record holds only the low 32 bits

  // Eraseblock 32767 ends at 4 GiB; on the 64-block chip it is block 63.
  erase_info_user e = {32767u * kEb, kEb};
  ASSERT_EQ(0, k_ioctl(fd, MEMERASE, &e));
  erase_info_user64 e64 = {32768ull * kEb, kEb};
  ASSERT_EQ(0, k_ioctl(fd, MEMERASE64, &e64));
  EXPECT_EQ((std::vector<uint32_t>{63, 0}), chip.erased_blocks);

  std::vector<uint8_t> d = Pattern(2 * kPage, 7), back(2 * kPage);
  const off_t top = static_cast<off_t>((4ull << 30) - kPage);  // one page each side of 4 GiB
  ASSERT_EQ(top, k_lseek(fd, top, SEEK_SET));
  ASSERT_EQ(static_cast<ssize_t>(d.size()), k_write(fd, d.data(), d.size()));
  EXPECT_EQ(0, memcmp(chip.data(chip.geometry().size - kPage), d.data(), kPage));
  EXPECT_EQ(0, memcmp(chip.data(0), d.data() + kPage, kPage));
  ASSERT_EQ(top, k_lseek(fd, top, SEEK_SET));
  ASSERT_EQ(static_cast<ssize_t>(back.size()), k_read(fd, back.data(), back.size()));
  EXPECT_EQ(d, back);
  chip.mark_bad(1);
  loff_t off = static_cast<loff_t>((5ull << 30) + kEb);
  EXPECT_EQ(1, k_ioctl(fd, MEMGETBADBLOCK, &off));
  k_close(fd);
}

TEST_F(MtdDev, BadBlocksAndLocks) {
  Open();
  chip->mark_bad(1);
  loff_t off = kEb + 100;
  EXPECT_EQ(1, k_ioctl(fd, MEMGETBADBLOCK, &off));
  off = 0;
  EXPECT_EQ(0, k_ioctl(fd, MEMGETBADBLOCK, &off));
  off = 2 * kEb;
  ASSERT_EQ(0, k_ioctl(fd, MEMSETBADBLOCK, &off));
  EXPECT_TRUE(chip->is_bad(2));
  EXPECT_EQ(1, k_ioctl(fd, MEMGETBADBLOCK, &off));
  off = static_cast<loff_t>(chip->geometry().size);
  EXPECT_EQ(-1, k_ioctl(fd, MEMGETBADBLOCK, &off));
  EXPECT_EQ(EINVAL, errno);
  off = -1;
  EXPECT_EQ(-1, k_ioctl(fd, MEMGETBADBLOCK, &off));
  EXPECT_EQ(EINVAL, errno);
  int pfd = k_open("/dev/mtd2", O_RDONLY);
  chip->mark_bad(9);
  off = kEb;
  EXPECT_EQ(1, k_ioctl(pfd, MEMGETBADBLOCK, &off));
  k_close(pfd);
  int ro = k_open("/dev/mtd0", O_RDONLY);
  off = 3 * kEb;
  EXPECT_EQ(-1, k_ioctl(ro, MEMSETBADBLOCK, &off));
  EXPECT_EQ(EPERM, errno);
  EXPECT_FALSE(chip->is_bad(3));
  k_close(ro);
  chip->bb_supported = false;
  off = 0;
  EXPECT_EQ(-1, k_ioctl(fd, MEMGETBADBLOCK, &off));
  EXPECT_EQ(EOPNOTSUPP, errno);

  erase_info_user l = {4 * kEb, 2 * kEb};
  ASSERT_EQ(0, k_ioctl(fd, MEMLOCK, &l));
  EXPECT_TRUE(chip->is_locked(4));
  EXPECT_TRUE(chip->is_locked(5));
  EXPECT_FALSE(chip->is_locked(6));
  EXPECT_EQ(1, k_ioctl(fd, MEMISLOCKED, &l));
  erase_info_user one = {5 * kEb, kEb};
  ASSERT_EQ(0, k_ioctl(fd, MEMUNLOCK, &one));
  EXPECT_EQ(0, k_ioctl(fd, MEMISLOCKED, &l));
  EXPECT_EQ(0, k_ioctl(fd, MEMISLOCKED, &one));
  l = {static_cast<uint32_t>(chip->geometry().size), kEb};
  EXPECT_EQ(-1, k_ioctl(fd, MEMLOCK, &l));
  EXPECT_EQ(EINVAL, errno);

  region_info_user r = {};
  EXPECT_EQ(-1, k_ioctl(fd, MEMGETREGIONINFO, &r));  // NAND: no erase regions
  EXPECT_EQ(EINVAL, errno);
  k.erase_regions.push_back({0, 0x10000, 4, 0});
  k.erase_regions.push_back({0x40000, kEb, 62, 0});
  EXPECT_EQ("2\n", Slurp("/sys/class/mtd/mtd0/numeraseregions"));
  int count = -1;
  ASSERT_EQ(0, k_ioctl(fd, MEMGETREGIONCOUNT, &count));
  EXPECT_EQ(2, count);
  r.regionindex = 1;
  ASSERT_EQ(0, k_ioctl(fd, MEMGETREGIONINFO, &r));
  EXPECT_EQ(0x40000u, r.offset);
  EXPECT_EQ(kEb, r.erasesize);
  EXPECT_EQ(62u, r.numblocks);
  EXPECT_EQ(1u, r.regionindex);
  r.regionindex = 2;
  EXPECT_EQ(-1, k_ioctl(fd, MEMGETREGIONINFO, &r));
  EXPECT_EQ(EINVAL, errno);
}

TEST_F(MtdDev, OobTransfers) {
  Open();
  std::vector<uint8_t> o = Pattern(kOob, 0x20), back(kOob, 0);
  mtd_oob_buf b = {3 * kPage, kOob, o.data()};
  ASSERT_EQ(0, k_ioctl(fd, MEMWRITEOOB, &b));
  EXPECT_EQ(0, memcmp(chip->oob(3), o.data(), kOob));
  EXPECT_FALSE(chip->is_erased(3 * kPage, 1));
  EXPECT_EQ(0xFF, chip->data(3 * kPage)[0]);  // OOB writes leave the data alone
  b = {3 * kPage + 4, 8, back.data()};
  ASSERT_EQ(0, k_ioctl(fd, MEMREADOOB, &b));
  EXPECT_EQ(8u, b.length);
  EXPECT_EQ(0, memcmp(back.data(), o.data() + 4, 8));

  mtd_oob_buf64 b64 = {};
  b64.start = 4 * kPage + 32;
  b64.length = 32;
  b64.usr_ptr = reinterpret_cast<uintptr_t>(o.data());
  ASSERT_EQ(0, k_ioctl(fd, MEMWRITEOOB64, &b64));
  EXPECT_EQ(0, memcmp(chip->oob(4) + 32, o.data(), 32));
  EXPECT_EQ(0xFF, chip->oob(4)[31]);
  b64.usr_ptr = reinterpret_cast<uintptr_t>(back.data());
  b64.start = 4 * kPage;
  b64.length = kOob;
  ASSERT_EQ(0, k_ioctl(fd, MEMREADOOB64, &b64));
  EXPECT_EQ(0, memcmp(back.data(), chip->oob(4), kOob));

  // The transfer must stay inside one OOB area and on the device.
  b = {kPage + 1, kOob, back.data()};
  EXPECT_EQ(-1, k_ioctl(fd, MEMREADOOB, &b));
  EXPECT_EQ(EINVAL, errno);
  b = {kPage + 1, kOob - 1, back.data()};
  EXPECT_EQ(0, k_ioctl(fd, MEMREADOOB, &b));
  b = {static_cast<uint32_t>(chip->geometry().size), 4, back.data()};
  EXPECT_EQ(-1, k_ioctl(fd, MEMREADOOB, &b));
  EXPECT_EQ(EINVAL, errno);
  b64.start = kPage + 60;
  b64.length = 8;
  EXPECT_EQ(-1, k_ioctl(fd, MEMWRITEOOB64, &b64));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_TRUE(chip->is_erased(kPage, kPage));

  chip->mark_bad(2);
  b = {2 * kEb, 4, o.data()};
  EXPECT_EQ(-1, k_ioctl(fd, MEMWRITEOOB, &b));
  EXPECT_EQ(EIO, errno);
  chip->fail_program(7, EIO, 1);
  b = {7 * kPage, 4, o.data()};
  EXPECT_EQ(-1, k_ioctl(fd, MEMWRITEOOB, &b));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(0xFF, chip->oob(7)[0]);

  k.oob64_errno = EIO;
  EXPECT_EQ(-1, k_ioctl(fd, MEMREADOOB64, &b64));
  EXPECT_EQ(EIO, errno);
  k.has_oob64 = false;
  EXPECT_EQ(-1, k_ioctl(fd, MEMREADOOB64, &b64));
  EXPECT_EQ(ENOTTY, errno);

  int ro = k_open("/dev/mtd0", O_RDONLY);
  b = {9 * kPage, 4, o.data()};
  EXPECT_EQ(-1, k_ioctl(ro, MEMWRITEOOB, &b));
  EXPECT_EQ(EPERM, errno);
  k_close(ro);
}

TEST_F(MtdDev, MemWriteProgramsDataAndOobTogether) {
  Open();
  std::vector<uint8_t> d = Pattern(2 * kPage, 0x40), o = Pattern(2 * kOob, 0x90);
  mtd_write_req w = {};
  w.start = kEb;
  w.len = 2 * kPage;
  w.ooblen = 2 * kOob;
  w.usr_data = reinterpret_cast<uintptr_t>(d.data());
  w.usr_oob = reinterpret_cast<uintptr_t>(o.data());
  w.mode = MTD_OPS_PLACE_OOB;
  uint64_t before = chip->programs();
  ASSERT_EQ(0, k_ioctl(fd, MEMWRITE, &w));
  EXPECT_EQ(2u, chip->programs() - before);  // one program per page, OOB included
  EXPECT_EQ(0, memcmp(chip->data(kEb), d.data(), 2 * kPage));
  EXPECT_EQ(0, memcmp(chip->oob(64), o.data(), kOob));
  EXPECT_EQ(0, memcmp(chip->oob(65), o.data() + kOob, kOob));

  // Automatic placement spreads the caller's bytes over the free regions: (2, 38) here.
  w.start = 2 * kEb;
  w.len = kPage;
  w.ooblen = 38;
  w.mode = MTD_OPS_AUTO_OOB;
  ASSERT_EQ(0, k_ioctl(fd, MEMWRITE, &w));
  EXPECT_EQ(0xFF, chip->oob(128)[0]);
  EXPECT_EQ(0xFF, chip->oob(128)[1]);
  EXPECT_EQ(0, memcmp(chip->oob(128) + 2, o.data(), 38));
  for (uint32_t i = 40; i < kOob; i++) EXPECT_EQ(0xFF, chip->oob(128)[i]) << i;
  k.oobsel_free = {{4, 2}, {10, 3}};
  w.start = 3 * kEb;
  w.ooblen = 5;
  ASSERT_EQ(0, k_ioctl(fd, MEMWRITE, &w));
  EXPECT_EQ(o[0], chip->oob(192)[4]);
  EXPECT_EQ(o[1], chip->oob(192)[5]);
  EXPECT_EQ(o[2], chip->oob(192)[10]);
  EXPECT_EQ(o[4], chip->oob(192)[12]);
  EXPECT_EQ(0xFF, chip->oob(192)[6]);
  w.ooblen = 6;  // more than one page of automatic OOB room for a one-page write
  w.usr_data = 0;
  EXPECT_EQ(-1, k_ioctl(fd, MEMWRITE, &w));
  EXPECT_EQ(EINVAL, errno);

  // Data alone, and unaligned data.
  w = {};
  w.start = 4 * kEb;
  w.len = kPage;
  w.usr_data = reinterpret_cast<uintptr_t>(d.data());
  ASSERT_EQ(0, k_ioctl(fd, MEMWRITE, &w));
  EXPECT_EQ(0, memcmp(chip->data(4 * kEb), d.data(), kPage));
  EXPECT_EQ(0xFF, chip->oob(256)[0]);
  w.start = 4 * kEb + 100;
  EXPECT_EQ(-1, k_ioctl(fd, MEMWRITE, &w));
  EXPECT_EQ(EINVAL, errno);

  // A failing page keeps neither its data nor its OOB.
  chip->fail_program(5 * 64 + 1, EIO, 1);
  w.start = 5 * kEb;
  w.len = 2 * kPage;
  w.ooblen = 2 * kOob;
  w.usr_oob = reinterpret_cast<uintptr_t>(o.data());
  EXPECT_EQ(-1, k_ioctl(fd, MEMWRITE, &w));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(0, memcmp(chip->data(5 * kEb), d.data(), kPage));
  EXPECT_TRUE(chip->is_erased(5 * kEb + kPage, kPage));
  EXPECT_EQ(0u, chip->violations());

  k.has_memwrite = false;
  k.memwrite_errno = EOPNOTSUPP;
  EXPECT_EQ(-1, k_ioctl(fd, MEMWRITE, &w));
  EXPECT_EQ(EOPNOTSUPP, errno);
}

TEST_F(MtdDev, OobSelection) {
  Open();
  nand_oobinfo oi;
  memset(&oi, 0xAB, sizeof oi);
  ASSERT_EQ(0, k_ioctl(fd, MEMGETOOBSEL, &oi));
  EXPECT_EQ(2u, oi.useecc);
  EXPECT_EQ(2u, oi.oobfree[0][0]);
  EXPECT_EQ(38u, oi.oobfree[0][1]);
  EXPECT_EQ(0u, oi.oobfree[1][1]);
  EXPECT_EQ(24u, oi.eccbytes);  // bytes 40..63
  EXPECT_EQ(40u, oi.eccpos[0]);
  k.has_oobsel = false;
  EXPECT_EQ(-1, k_ioctl(fd, MEMGETOOBSEL, &oi));
  EXPECT_EQ(ENOTTY, errno);
}

// ---------------------------------------------------------------------------------------------
// The boundary itself

TEST(Boundary, RealFilesPassThroughAndAreRecorded) {
  testutil::TempDir dir;
  std::string path = dir.file("img");
  sim::Kernel k;
  int fd = k_open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(5, k_write(fd, "hello", 5));
  ASSERT_EQ(0, k_lseek(fd, 0, SEEK_SET));
  char buf[8] = {};
  ASSERT_EQ(5, k_read(fd, buf, sizeof buf));
  EXPECT_STREQ("hello", buf);
  struct stat st;
  ASSERT_EQ(0, k_fstat(fd, &st));
  EXPECT_EQ(5, st.st_size);
  EXPECT_EQ(0, k_isatty(fd));
  ASSERT_EQ(0, k_close(fd));
  EXPECT_EQ("hello", testutil::ReadAll(path));
  ASSERT_EQ(0, k_stat(path.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ((std::vector<std::string>{".", "..", "img"}), [&] {
    std::vector<std::string> v = List(dir.path().c_str());
    std::sort(v.begin(), v.end());
    return v;
  }());
  int null = k_open("/dev/null", O_RDONLY);
  EXPECT_EQ(0, k_read(null, buf, 1));
  k_close(null);

  EXPECT_EQ(0u, k.count_sim());
  EXPECT_EQ(2u, k.count("open"));
  EXPECT_EQ(1u, k.count("write"));
  EXPECT_EQ(2u, k.count("read"));
  EXPECT_GT(k.count("readdir"), 2u);
  ASSERT_FALSE(k.calls().empty());
  EXPECT_EQ(path, k.calls()[0].path);
  EXPECT_EQ(path, k.calls()[1].path);  // fd calls carry the path they were opened with
  EXPECT_FALSE(k.calls()[0].simulated);
}

TEST(Boundary, SimulatedCallsAreCountedWithTheirArguments) {
  sim::Chip chip;
  sim::Kernel k;
  k.add_mtd(0, &chip, "all");
  int fd = k_open("/dev/mtd0", O_RDWR);
  erase_info_user64 e = {2 * kEb, kEb};
  ASSERT_EQ(0, k_ioctl(fd, MEMERASE64, &e));
  loff_t off = 0;
  k_ioctl(fd, MEMGETBADBLOCK, &off);
  k_ioctl(fd, MEMGETBADBLOCK, &off);
  k_close(fd);
  EXPECT_EQ(5u, k.count_sim());
  EXPECT_EQ(3u, k.count("ioctl"));
  EXPECT_EQ(1u, k.count_ioctl(MEMERASE64));
  EXPECT_EQ(2u, k.count_ioctl(MEMGETBADBLOCK));
  EXPECT_EQ(0u, k.count_ioctl(MEMERASE));
  const sim::Call& c = k.calls()[1];
  EXPECT_EQ("ioctl", c.op);
  EXPECT_EQ("/dev/mtd0", c.path);
  EXPECT_TRUE(c.simulated);
  EXPECT_EQ(static_cast<unsigned long>(MEMERASE64), c.request);
  EXPECT_EQ(2u * kEb, c.offset);
  EXPECT_EQ(kEb, c.length);

  k.fail_ioctl(MEMGETBADBLOCK, EIO, 1);
  fd = k_open("/dev/mtd0", O_RDONLY);
  EXPECT_EQ(-1, k_ioctl(fd, MEMGETBADBLOCK, &off));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(0, k_ioctl(fd, MEMGETBADBLOCK, &off));
  k_close(fd);
  k.clear_calls();
  EXPECT_EQ(0u, k.count_sim());
  EXPECT_TRUE(k.calls().empty());
}

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

TEST(Boundary, DestructionRestoresThePreviousKernel) {
  const kernel_ops* glibc = kernel_glibc();
  ASSERT_EQ(glibc, g_kernel);
  sim::Chip chip;
  {
    sim::Kernel outer;
    outer.add_mtd(0, &chip, "outer");
    const kernel_ops* outer_ops = g_kernel;
    EXPECT_NE(glibc, outer_ops);
    {
      sim::Kernel inner;
      inner.add_mtd(0, &chip, "inner");
      EXPECT_EQ("inner\n", Slurp("/sys/class/mtd/mtd0/name"));
      EXPECT_EQ(0u, outer.count_sim());
    }
    EXPECT_EQ(outer_ops, g_kernel);
    EXPECT_EQ("outer\n", Slurp("/sys/class/mtd/mtd0/name"));
    EXPECT_GT(outer.count_sim(), 0u);
  }
  EXPECT_EQ(glibc, g_kernel);
  struct stat st;
  EXPECT_EQ(-1, k_stat("/dev/mtd0", &st));  // the simulated node is gone
}

TEST(Boundary, WorksInAChildProcess) {
  sim::Chip chip;
  sim::Kernel k;
  k.add_mtd(0, &chip, "all");
  testutil::ChildResult r = testutil::RunChild([] {
    int fd = k_open("/dev/mtd0", O_RDWR);
    erase_info_user e = {0, kEb};
    return fd >= 0 && k_ioctl(fd, MEMERASE, &e) == 0 ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(chip.erased_blocks.empty());  // the child's chip is its own copy
}

}  // namespace
