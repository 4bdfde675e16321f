// Eraseblock, page and OOB operations: request fallbacks, argument checks, one message of each kind.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "libmtd.h"
#include "sim_kernel.h"

using testboard::Failure;
using testboard::Outcome;
using testboard::Pattern;

namespace {

const int kPage = 2048, kOob = 64, kEb = 128 * 1024;
const std::string kE = "libmtd: error!: ";
std::string ErrLine(int err) { return testboard::ErrLine("libmtd", err); }
// call fails with errno err, writing exactly msg to standard error.
#define FAILS(err, msg, call) EXPECT_EQ(Failure(err, msg), Outcome([&] { return call; }))
std::string Ok(const std::string& out = "") { return "ret 0\nout: " + out + "\nerr: "; }

class Ops : public ::testing::Test {
 protected:
  void Open(const sim::Geometry& g = sim::Geometry(), uint64_t view_size = 0) {
    chip.reset(new sim::Chip(g));
    k.add_mtd(0, chip.get(), "all", 0, view_size);
    lib = libmtd_open();
    ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd0", &mtd));
    fd = k_open("/dev/mtd0", O_RDWR);
    k.clear_calls();
  }
  // A fresh handle, which has not learned what the kernel lacks.
  void Reopen() {
    libmtd_close(lib);
    lib = libmtd_open();
    k.clear_calls();
  }
  void TearDown() override {
    if (fd >= 0) k_close(fd);
    libmtd_close(lib);
  }

  sim::Kernel k;
  std::unique_ptr<sim::Chip> chip;
  libmtd_t lib = nullptr;
  mtd_dev_info mtd;
  int fd = -1;
};

TEST_F(Ops, RangeAndAlignmentChecksAndImageCopy) {
  Open(sim::Geometry{2048, 64, kEb, 512});
  std::vector<uint8_t> buf(kEb), oob(kOob);
  const std::string size = ", mtd0 eraseblock size is 131072\n",
                    io = " is not aligned to mtd0 min. I/O size 512\n",
                    only = " - mtd0 OOB size is only 64 bytes\n";
  // offs + len may reach the end of the eraseblock, not pass it.
  EXPECT_EQ(0, mtd_read(&mtd, fd, 63, kEb - kPage, buf.data(), kPage));
  FAILS(EINVAL, kE + "bad offset 129024 or length 2049" + size,
        mtd_read(&mtd, fd, 63, kEb - kPage, buf.data(), kPage + 1));
  FAILS(EINVAL, kE + "write offset 256" + io,
        mtd_write(lib, &mtd, fd, 1, 256, buf.data(), 512, nullptr, 0, 0));
  // A negative length would make one huge write from the caller's buffer.
  FAILS(EINVAL, kE + "bad offset 512 or length -512" + size,
        mtd_write(lib, &mtd, fd, 1, 512, buf.data(), -512, nullptr, 0, 0));
  // A length that would wrap the sum past zero.
  FAILS(EINVAL, kE + "Cannot write 18446744073709551612 OOB bytes to address 2056 (OOB offset 8)" + only,
        mtd_read_oob(lib, &mtd, fd, kPage + 8, ~0ull - 3, oob.data()));
  // Only other tools write an image from a file: from eraseblock 2, offset 1024, into eraseblock 3.
  testutil::TempDir dir;
  const std::string img = Pattern(kEb + 3 * 512, 4);
  const std::string path = dir.file("img");
  testutil::WriteAll(path, img);
  ASSERT_EQ(0, mtd_write_img(&mtd, fd, 2, 1024, path.c_str()));
  EXPECT_TRUE(memcmp(chip->data(2 * kEb + 1024), img.data(), img.size()) == 0 &&
              chip->is_erased(2 * kEb, 1024) && chip->is_erased(2 * kEb + 1024 + img.size(), 512));
}

TEST_F(Ops, ThirtyTwoBitRequestsStopAtFourGiB) {
  // A view of 8 GiB over the small chip: addresses wrap around the chip.
  Open(sim::Geometry(), 8ull << 30);
  k.has_memerase64 = false;
  ASSERT_EQ(65536, mtd.eb_cnt);
  EXPECT_EQ(Ok(), Outcome([&] { return mtd_erase(lib, &mtd, fd, 32766); }));  // the old request, silently
  FAILS(EINVAL, kE + "this system can address only 32767 eraseblocks\n", mtd_erase(lib, &mtd, fd, 32767));
  Reopen();
  k.has_memerase64 = true;
  EXPECT_TRUE(mtd_erase(lib, &mtd, fd, 40000) == 0 && k.calls().back().offset == 40000ull * kEb);

  k.has_oob64 = false;
  std::vector<uint8_t> oob(kOob), buf(kPage), data(kPage, 0x00);
  FAILS(EINVAL, kE + "this system can address only up to address 4294967295\n",
        mtd_read_oob(lib, &mtd, fd, 0x100000000ull, kOob, oob.data()));
  // The data path's position is a signed 32-bit number: 4 GiB would wrap to 0 and touch block 0.
  chip->fill(0, kPage, 0x11);
  const std::string seek = kE + "cannot seek mtd0 to offset 4294967296\n" + ErrLine(EINVAL);
  FAILS(EINVAL, seek, mtd_read(&mtd, fd, 32768, 0, buf.data(), kPage));
  FAILS(EINVAL, seek, mtd_write(lib, &mtd, fd, 32768, 0, data.data(), kPage, nullptr, 0, 0));
  EXPECT_TRUE(chip->data(0)[0] == 0x11 && chip->data(kPage - 1)[0] == 0x11);
}

TEST_F(Ops, OobAndWriteFallbacks) {
  Open();
  std::string oob = Pattern(kOob, 9);
  k.oob64_errno = EIO;
  EXPECT_EQ(Ok() + kE + "MEMWRITEOOB64 ioctl failed for mtd0, offset 264192 (eraseblock 2)\n" + ErrLine(EIO),
            Outcome([&] { return mtd_write_oob(lib, &mtd, fd, 2 * kEb + kPage, kOob, oob.data()); }));
  EXPECT_TRUE(mtd_write_oob(lib, &mtd, fd, 2 * kEb + kPage, kOob, oob.data()) == 0 &&
              memcmp(chip->oob(2 * kEb / kPage + 1), oob.data(), kOob) == 0);
  // Without MEMWRITE (a fresh handle): OOB, then the data through the file position.
  std::string data = Pattern(kPage, 1);
  Reopen();
  k.oob64_errno = 0;
  k.has_memwrite = false;
  k.memwrite_errno = EOPNOTSUPP;
  ASSERT_EQ(0, mtd_write(lib, &mtd, fd, 6, kPage, data.data(), kPage, oob.data(), kOob, 0));
  std::string t;
  for (const sim::Call& c : k.calls()) t += (c.request == MEMWRITE ? "MEMWRITE" : c.op) + " ";
  EXPECT_EQ("MEMWRITE ioctl lseek write ", t);
  const uint64_t page = 6 * kEb / kPage + 1;
  EXPECT_TRUE(!memcmp(chip->oob(page), oob.data(), kOob) &&
              !memcmp(chip->data(page * kPage), data.data(), kPage));
}

// Interrupted every other write, else taking at most 3 bytes, or none once told to.
const kernel_ops* g_under = nullptr;
bool g_zero_writes = false;
int g_choppy_calls = 0;
ssize_t ChoppyWrite(int fd, const void* buf, size_t len) {
  if (++g_choppy_calls % 2) return errno = EINTR, -1;
  return g_zero_writes ? 0 : g_under->write(fd, buf, len < 3 ? len : 3);
}

// Devices and pipes take less than asked; a whole write goes on until all moved or none can.
TEST(KernelBoundary, FullWriteRepeatsShortAndInterruptedCalls) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  kernel_ops choppy = *g_kernel;
  choppy.write = ChoppyWrite;
  g_under = kernel_install(&choppy);
  EXPECT_EQ(0, k_write_full(p[1], "0123456789", 10));
  g_zero_writes = true;
  errno = 0;
  EXPECT_TRUE(k_write_full(p[1], "x", 1) == -1 && errno == ENOSPC);  // a file that stopped taking bytes
  kernel_install(g_under);
  char buf[16] = {};
  EXPECT_TRUE(read(p[0], buf, sizeof buf) == 10 && std::string(buf) == "0123456789");
  close(p[1]);
  close(p[0]);
}

}  // namespace
