// Eraseblock, page and OOB operations against the simulated chip: what reaches the chip, the
// fallbacks for kernels without the 64-bit and MEMWRITE requests, the argument checks with
// their exact messages, and how many system calls each operation costs.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "board.h"
#include "libmtd.h"
#include "sim_kernel.h"

using testboard::Failure;
using testboard::Outcome;

namespace {

const int kPage = 2048, kOob = 64, kEb = 128 * 1024;
const sim::Geometry kSubpages{2048, 64, kEb, 512};
const std::string kE = "libmtd: error!: ";
std::string ErrLine(int err) { return testboard::ErrLine("libmtd", err); }
// call fails with errno err, writing exactly msg to standard error (and out to standard output).
#define FAILS(err, msg, call) EXPECT_EQ(Failure(err, msg), Outcome([&] { return call; }))
std::string Ok(const std::string& out = "") { return "ret 0\nout: " + out + "\nerr: "; }
std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed + i * 13);
  return v;
}

#define REQ(r) \
  { r, #r }
const std::pair<unsigned long, const char*> kRequests[] = {
    REQ(MEMERASE),       REQ(MEMERASE64),     REQ(MEMREADOOB),   REQ(MEMREADOOB64), REQ(MEMWRITEOOB),
    REQ(MEMWRITEOOB64),  REQ(MEMWRITE),       REQ(MEMGETOOBSEL), REQ(MEMLOCK),      REQ(MEMUNLOCK),
    REQ(MEMGETBADBLOCK), REQ(MEMSETBADBLOCK), REQ(MEMISLOCKED)};

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
  // The calls since the last clear_calls, in order: the request names of ioctls, else the
  // call's own name. Calls made in a child process are not seen here.
  std::string Trace() const {
    std::string t;
    for (const sim::Call& c : k.calls()) {
      std::string name = c.op;
      for (const auto& r : kRequests)
        if (c.op == "ioctl" && c.request == r.first) name = r.second;
      t += (t.empty() ? "" : " ") + name;
    }
    return t;
  }
  // A fresh handle, which has not learned what the kernel lacks.
  void Reopen() {
    libmtd_close(lib);
    lib = libmtd_open();
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

TEST_F(Ops, EraseblockNumbersAndOffsetsAreChecked) {
  Open();
  ASSERT_TRUE(mtd.eb_cnt == 64 && mtd_valid_erase_block(&mtd, 63) == 0);
  const std::string bad = kE + "bad eraseblock number ", has = ", mtd0 has 64 eraseblocks\n";
  FAILS(EINVAL, bad + "-1" + has, mtd_valid_erase_block(&mtd, -1));
  FAILS(EINVAL, bad + "64" + has, mtd_erase(lib, &mtd, fd, 64));
  FAILS(EINVAL, bad + "64" + has, mtd_is_bad(&mtd, fd, 64));
  FAILS(EINVAL, bad + "-1" + has, mtd_mark_bad(&mtd, fd, -1));
  FAILS(EINVAL, bad + "64" + has, mtd_read(&mtd, fd, 64, 0, nullptr, 0));
  FAILS(EINVAL, bad + "-5" + has, mtd_write(lib, &mtd, fd, -5, 0, nullptr, 0, nullptr, 0, 0));
  FAILS(EINVAL, bad + "64" + has, mtd_lock(&mtd, fd, 64));
  FAILS(EINVAL, bad + "64" + has, mtd_unlock(&mtd, fd, 64));
  EXPECT_EQ(Failure(EINVAL, bad + "64" + has, "libmtd: run torture test for PEB 64\n"),
            Outcome([&] { return mtd_torture(lib, &mtd, fd, 64); }));
  // offs + len may reach the end of the eraseblock, not pass it, nor overflow an int.
  std::vector<uint8_t> buf(kEb);
  EXPECT_EQ(0, mtd_read(&mtd, fd, 63, kEb - kPage, buf.data(), kPage));
  const std::string bo = kE + "bad offset ", size = ", mtd0 eraseblock size is 131072\n";
  FAILS(EINVAL, bo + "129024 or length 2049" + size,
        mtd_read(&mtd, fd, 63, kEb - kPage, buf.data(), kPage + 1));
  FAILS(EINVAL, bo + "-1 or length 1" + size, mtd_read(&mtd, fd, 0, -1, buf.data(), 1));
  FAILS(EINVAL, bo + "10 or length 2147483647" + size, mtd_read(&mtd, fd, 0, 10, buf.data(), 0x7FFFFFFF));
}

TEST_F(Ops, WriteAlignmentIsTheSubpageSize) {
  Open(kSubpages);
  std::vector<uint8_t> data = Pattern(kPage, 1);
  const std::string io = " is not aligned to mtd0 min. I/O size 512\n";
  const std::tuple<int, int, std::string> cases[] = {
      {256, 512, "write offset 256" + io},
      {512, 700, "write length 700" + io},
      // A negative length would make one huge write from the caller's buffer.
      {512, -512, "bad offset 512 or length -512, mtd0 eraseblock size is 131072\n"}};
  for (const auto& c : cases)
    FAILS(EINVAL, kE + std::get<2>(c),
          mtd_write(lib, &mtd, fd, 1, std::get<0>(c), data.data(), std::get<1>(c), nullptr, 0, 0));
  // 512-byte steps pass although they are not page multiples.
  ASSERT_EQ(0, mtd_write(lib, &mtd, fd, 1, 512, data.data(), 1024, nullptr, 0, 0));
  EXPECT_TRUE(memcmp(chip->data(kEb + 512), data.data(), 1024) == 0 && chip->is_erased(kEb + 1536, 512) &&
              chip->data(kEb + 511)[0] == 0xFF);
}

TEST_F(Ops, BadBlocksAreAskedOnlyWhereAllowed) {
  Open();
  chip->mark_bad(4);
  EXPECT_TRUE(mtd_is_bad(&mtd, fd, 4) == 1 && mtd_is_bad(&mtd, fd, 5) == 0);
  ASSERT_EQ(0, mtd_mark_bad(&mtd, fd, 5));
  EXPECT_TRUE(chip->is_bad(5) && k.calls()[2].offset == 5ull * kEb && mtd_is_bad(&mtd, fd, 5) == 1);
  // A device without bad blocks is never asked, and cannot be marked.
  mtd.bb_allowed = 0;
  k.clear_calls();
  EXPECT_EQ(0, mtd_is_bad(&mtd, fd, 4));
  FAILS(EINVAL, "", mtd_mark_bad(&mtd, fd, 6));
  EXPECT_EQ("", Trace());
}

TEST_F(Ops, EraseFallsBackToTheOldRequestOnce) {
  Open();
  k.has_memerase64 = false;
  chip->fill(2 * kEb, kEb, 0x00);
  EXPECT_EQ(Ok(), Outcome([&] { return mtd_erase(lib, &mtd, fd, 2); }));  // the switch is silent
  EXPECT_TRUE(mtd_erase(lib, &mtd, fd, 2) == 0 && chip->is_erased(2 * kEb, kEb));
  EXPECT_EQ("MEMERASE64 MEMERASE", Trace());
  // The handle remembers: the next erase goes straight to MEMERASE.
  k.clear_calls();
  ASSERT_EQ(0, mtd_erase(lib, &mtd, fd, 3));
  EXPECT_EQ("MEMERASE", Trace());
  EXPECT_TRUE(k.calls().back().offset == 3ull * kEb && k.calls().back().length == uint64_t(kEb));
  // Any other refusal of MEMERASE64 is a failure, and does not switch a new handle.
  Reopen();
  k.has_memerase64 = true;
  chip->fail_erase(4, EIO);
  EXPECT_EQ(-1, mtd_erase(lib, &mtd, fd, 4));
  k.clear_calls();
  ASSERT_EQ(0, mtd_erase(lib, &mtd, fd, 4));
  EXPECT_EQ("MEMERASE64", Trace());
}

TEST_F(Ops, ThirtyTwoBitRequestsStopAtFourGiB) {
  // A view of 8 GiB over the small chip: addresses wrap around the chip.
  Open(sim::Geometry(), 8ull << 30);
  k.has_memerase64 = false;
  ASSERT_TRUE(mtd.eb_cnt == 65536 && mtd_erase(lib, &mtd, fd, 32766) == 0);
  for (int eb : {32767, 40000})
    FAILS(EINVAL, kE + "this system can address only 32767 eraseblocks\n", mtd_erase(lib, &mtd, fd, eb));
  // With MEMERASE64 a fresh handle reaches past 4 GiB.
  Reopen();
  k.has_memerase64 = true;
  EXPECT_TRUE(mtd_erase(lib, &mtd, fd, 40000) == 0 && k.calls().back().offset == 40000ull * kEb);

  k.has_oob64 = false;
  std::vector<uint8_t> oob(kOob), buf(kPage), data(kPage, 0x00);
  ASSERT_EQ(0, mtd_read_oob(lib, &mtd, fd, 0xFFFFF800ull, kOob, oob.data()));
  FAILS(EINVAL, kE + "this system can address only up to address 4294967295\n",
        mtd_read_oob(lib, &mtd, fd, 0x100000000ull, kOob, oob.data()));
  // The old request's failure names it, with the eraseblock that holds the address.
  k.fail_ioctl(MEMREADOOB, EIO, 1);
  EXPECT_EQ(
      Failure(EIO, kE + "MEMREADOOB ioctl failed for mtd0, offset 397312 (eraseblock 3)\n" + ErrLine(EIO)),
      Outcome([&] { return mtd_read_oob(lib, &mtd, fd, 3 * kEb + 64 * kPage / 32, kOob, oob.data()); }));
  // The data path's position is a signed 32-bit number: 2 GiB is negative, and 4 GiB would wrap
  // to 0 and touch eraseblock 0.
  const std::string seek = kE + "cannot seek mtd0 to offset ";
  FAILS(EINVAL, seek + "18446744071562067968\n" + ErrLine(EINVAL),
        mtd_read(&mtd, fd, 16384, 0, buf.data(), kPage));
  chip->fill(0, kPage, 0x11);
  FAILS(EINVAL, seek + "4294967296\n" + ErrLine(EINVAL), mtd_read(&mtd, fd, 32768, 0, buf.data(), kPage));
  FAILS(EINVAL, seek + "4294967296\n" + ErrLine(EINVAL),
        mtd_write(lib, &mtd, fd, 32768, 0, data.data(), kPage, nullptr, 0, 0));
  EXPECT_TRUE(chip->data(0)[0] == 0x11 && chip->data(kPage - 1)[0] == 0x11);
}

TEST_F(Ops, OobRangeAndAddressChecks) {
  Open();
  std::vector<uint8_t> oob(kOob);
  const std::string only = " - mtd0 OOB size is only 64 bytes\n", cannot = kE + "Cannot write ";
  FAILS(EINVAL, cannot + "64 OOB bytes to address 2049 (OOB offset 1)" + only,
        mtd_read_oob(lib, &mtd, fd, kPage + 1, kOob, oob.data()));
  FAILS(EINVAL, cannot + "0 OOB bytes to address 2048 (OOB offset 0)" + only,
        mtd_write_oob(lib, &mtd, fd, kPage, 0, oob.data()));
  // A length that would wrap the sum past zero.
  FAILS(EINVAL, cannot + "18446744073709551612 OOB bytes to address 2056 (OOB offset 8)" + only,
        mtd_read_oob(lib, &mtd, fd, kPage + 8, ~0ull - 3, oob.data()));
  FAILS(EINVAL, kE + "bad page address 8388608, mtd0 has 64 eraseblocks (8388608 bytes)\n",
        mtd_read_oob(lib, &mtd, fd, 8ull << 20, 4, oob.data()));
  EXPECT_EQ(-1, mtd_write_oob(lib, &mtd, fd, 8ull << 20, 4, oob.data()));
  EXPECT_EQ("", Trace());
  chip->fill(3 * kPage, kPage, 0x00);
  memset(chip->oob(3), 0x5C, kOob);
  EXPECT_TRUE(mtd_read_oob(lib, &mtd, fd, 3 * kPage + 60, 4, oob.data()) == 0 && oob[3] == 0x5C);
  EXPECT_EQ("MEMREADOOB64", Trace());
}

TEST_F(Ops, FailingSixtyFourBitOobRequestIsFollowedByTheOldOne) {
  Open();
  std::vector<uint8_t> oob = Pattern(kOob, 9), back(kOob);
  k.oob64_errno = EIO;
  EXPECT_EQ(Ok() + kE + "MEMWRITEOOB64 ioctl failed for mtd0, offset 264192 (eraseblock 2)\n" + ErrLine(EIO),
            Outcome([&] { return mtd_write_oob(lib, &mtd, fd, 2 * kEb + kPage, kOob, oob.data()); }));
  EXPECT_TRUE(mtd_write_oob(lib, &mtd, fd, 2 * kEb + kPage, kOob, oob.data()) == 0 &&
              memcmp(chip->oob(2 * kEb / kPage + 1), oob.data(), kOob) == 0);
  // Switched: the next transfer asks only the old request, and without ENOTTY no message.
  k.clear_calls();
  EXPECT_TRUE(mtd_read_oob(lib, &mtd, fd, 2 * kEb + kPage, kOob, back.data()) == 0 && oob == back);
  EXPECT_EQ("MEMREADOOB", Trace());
  // ENOTTY switches silently.
  Reopen();
  k.oob64_errno = 0;
  k.has_oob64 = false;
  EXPECT_EQ(Ok(), Outcome([&] { return mtd_read_oob(lib, &mtd, fd, 2 * kEb + kPage, kOob, back.data()); }));
}

TEST_F(Ops, WriteWithoutMemwriteWritesOobThenData) {
  Open();
  std::vector<uint8_t> data = Pattern(kPage, 1), oob = Pattern(kOob, 2);
  k.has_memwrite = false;
  for (int err : {ENOTTY, EOPNOTSUPP}) {
    SCOPED_TRACE(err);
    k.memwrite_errno = err;
    Reopen();
    const int eb = err == ENOTTY ? 6 : 7;
    k.clear_calls();
    ASSERT_EQ(0, mtd_write(lib, &mtd, fd, eb, kPage, data.data(), kPage, oob.data(), kOob, 0));
    EXPECT_EQ("MEMWRITE MEMWRITEOOB64 lseek write", Trace());
    const uint64_t page = uint64_t(eb) * kEb / kPage + 1;
    // Mode 0: the OOB bytes where the caller put them.
    EXPECT_TRUE(!memcmp(chip->oob(page), oob.data(), kOob) &&
                !memcmp(chip->data(page * kPage), data.data(), kPage));
    // The missing request is remembered: not asked again for the next page.
    k.clear_calls();
    ASSERT_EQ(0, mtd_write(lib, &mtd, fd, eb, 2 * kPage, data.data(), kPage, nullptr, 0, 0));
    EXPECT_EQ("lseek write", Trace());
  }
  // Only OOB: no seek, no write.
  k.clear_calls();
  std::fill(oob.begin(), oob.end(), 0x33);
  ASSERT_EQ(0, mtd_write(lib, &mtd, fd, 8, 0, nullptr, kPage, oob.data(), kOob, 0));
  EXPECT_EQ("MEMWRITEOOB64 51", Trace() + " " + std::to_string(chip->oob(8 * kEb / kPage)[0]));  // 0x33
  k.fail_ioctl(MEMWRITEOOB64, EIO, 1);
  k.fail_ioctl(MEMWRITEOOB, EIO, 1);
  const std::string o =
      Outcome([&] { return mtd_write(lib, &mtd, fd, 9, 0, nullptr, kPage, oob.data(), kOob, 0); });
  EXPECT_TRUE(o.find("errno 5\n") == 0 && o.find(kE + "cannot write to OOB\n" + ErrLine(EIO)) != o.npos) << o;
}

TEST_F(Ops, AutomaticPlacementWithoutMemwrite) {
  Open();
  k.has_memwrite = false;
  std::vector<uint8_t> data = Pattern(kPage, 1), oob = Pattern(kOob, 2), orig = oob;
  ASSERT_EQ(0, mtd_write(lib, &mtd, fd, 6, 0, data.data(), kPage, oob.data(), kOob, MTD_OPS_AUTO_OOB));
  EXPECT_EQ("MEMWRITE MEMGETOOBSEL MEMWRITEOOB64 lseek write", Trace());
  // The caller's first 38 bytes land at 2..39; the buffer is changed in place.
  EXPECT_TRUE(!memcmp(oob.data() + 2, orig.data(), 38) && orig[0] == oob[0] && orig[40] == oob[40] &&
              !memcmp(chip->oob(6 * kEb / kPage), oob.data(), kOob));
  // Several regions fill in order; a layout that is not automatic leaves the bytes alone.
  k.oobsel_free = {{2, 4}, {10, 3}, {0, 0}, {50, 9}};
  oob = orig;
  ASSERT_EQ(0, mtd_write(lib, &mtd, fd, 7, 0, nullptr, 0, oob.data(), kOob, MTD_OPS_AUTO_OOB));
  // After the empty region nothing is placed.
  EXPECT_TRUE(!memcmp(oob.data() + 2, orig.data(), 4) && !memcmp(oob.data() + 10, orig.data() + 4, 3) &&
              orig[50] == oob[50]);
  k.oobsel_useecc = 1;
  oob = orig;
  ASSERT_EQ(0, mtd_write(lib, &mtd, fd, 8, 0, nullptr, 0, oob.data(), kOob, MTD_OPS_AUTO_OOB));
  EXPECT_EQ(orig, oob);
  // Regions reaching past the caller's buffer are cut at its end.
  k.oobsel_useecc = 2;
  k.oobsel_free = {{60, 40}, {200, 10}};
  oob = orig;
  ASSERT_EQ(0, mtd_write(lib, &mtd, fd, 9, 0, nullptr, 0, oob.data(), kOob, MTD_OPS_AUTO_OOB));
  EXPECT_EQ(0, memcmp(oob.data() + 60, orig.data(), 4));
  k.has_oobsel = false;
  const std::string o =
      Outcome([&] { return mtd_write(lib, &mtd, fd, 10, 0, nullptr, 0, oob.data(), kOob, 1); });
  EXPECT_TRUE(o.find("err: " + kE + "MEMGETOOBSEL failed\n        error ") != o.npos && o.find("errno ") == 0)
      << o;
}

// Operations that only other tools call: locks and erase regions.
TEST_F(Ops, LocksAndRegions) {
  Open();
  ASSERT_EQ(0, mtd_lock(&mtd, fd, 3));
  EXPECT_TRUE(chip->is_locked(3) && k.calls().back().offset == 3ull * kEb &&
              k.calls().back().length == uint64_t(kEb));
  EXPECT_TRUE(mtd_is_locked(&mtd, fd, 3) == 1 && mtd_is_locked(&mtd, fd, 4) == 0);
  EXPECT_TRUE(mtd_unlock(&mtd, fd, 3) == 0 && !chip->is_locked(3));
  // A kernel without MEMISLOCKED answers EOPNOTSUPP, silently, whatever it said.
  for (int err : {ENOTTY, EOPNOTSUPP}) {
    k.fail_ioctl(MEMISLOCKED, err, 1);
    FAILS(EOPNOTSUPP, "", mtd_is_locked(&mtd, fd, 3));
  }
  const std::string failed = " ioctl failed for eraseblock ";
  k.fail_ioctl(MEMISLOCKED, EIO, 1);
  FAILS(EIO, kE + "MEMISLOCKED" + failed + "3 (mtd0)\n" + ErrLine(EIO), mtd_is_locked(&mtd, fd, 3));
  k.fail_ioctl(MEMUNLOCK, EIO, 1);
  FAILS(EIO, kE + "MEMUNLOCK" + failed + "2 (mtd0)\n" + ErrLine(EIO), mtd_unlock(&mtd, fd, 2));
  // A read-only descriptor may not lock.
  const int ro = k_open("/dev/mtd0", O_RDONLY);
  FAILS(EPERM, kE + "MEMLOCK" + failed + "2 (mtd0)\n" + ErrLine(EPERM), mtd_lock(&mtd, ro, 2));
  k_close(ro);

  k.erase_regions = {{0, 0x10000, 4, 0}, {0x40000, 0x20000, 2, 1}};
  region_info_user got = {0, 0, 0, 1};
  EXPECT_TRUE(mtd_regioninfo(fd, 1, &got) == 0 && got.offset == 0x40000u && got.erasesize == 0x20000u &&
              got.numblocks == 2u);
  FAILS(ENODEV, "", mtd_regioninfo(fd, -1, &got));
  got.regionindex = 2;
  FAILS(EINVAL, kE + "MEMGETREGIONINFO ioctl failed for erase region 2\n" + ErrLine(EINVAL),
        mtd_regioninfo(fd, 2, &got));
}

TEST_F(Ops, WriteImage) {
  Open(kSubpages);
  testutil::TempDir dir;
  std::vector<uint8_t> img = Pattern(kEb + 3 * 512, 4);
  const std::string path = dir.file("img"), odd = dir.file("odd");
  testutil::WriteAll(path, std::string(img.begin(), img.end()));
  testutil::WriteAll(odd, std::string(1000, 'x'));
  // From eraseblock 2, offset 1024: one write fills the rest of eraseblock 2, one the next.
  ASSERT_EQ(0, mtd_write_img(&mtd, fd, 2, 1024, path.c_str()));
  EXPECT_TRUE(memcmp(chip->data(2 * kEb + 1024), img.data(), img.size()) == 0 &&
              chip->is_erased(2 * kEb, 1024) && chip->is_erased(2 * kEb + 1024 + img.size(), 512));
  size_t writes = 0;
  for (const sim::Call& c : k.calls()) writes += c.op == "write" && c.simulated;
  EXPECT_TRUE(writes == 2 && k.open_fds() == 1);  // and only our own descriptor is left
  struct Case {
    int eb, offs;
    std::string img;
    int err;
    std::string msg;
  } cases[] = {
      {2, kEb, path, EINVAL, kE + "bad offset 131072, mtd0 eraseblock size is 131072\n"},
      {2, 256, path, EINVAL, kE + "write offset 256 is not aligned to mtd0 min. I/O size 512\n"},
      {2, 0, "/nonexistent/img", ENOENT, kE + "cannot open \"/nonexistent/img\"\n" + ErrLine(ENOENT)},
      {2, 0, odd, EINVAL,
       kE + "size of \"" + odd + "\" is 1000 byte, which is not aligned to mtd0 min. I/O size 512\n"},
      // Two eraseblocks' worth from eraseblock 63 does not fit.
      {63, 0, path, EINVAL,
       kE + "\"" + path +
           "\" image size is 132608 bytes, mtd0 size is 64 eraseblocks, the image does not fit "
           "if we write it starting from eraseblock 63, offset 0\n"},
  };
  for (const Case& c : cases) FAILS(c.err, c.msg, mtd_write_img(&mtd, fd, c.eb, c.offs, c.img.c_str()));
  EXPECT_EQ(0, mtd_write_img(&mtd, fd, 62, 0, path.c_str()));
  chip->fail_program(40 * kEb / kPage, EIO);
  FAILS(EIO, kE + "cannot write 132608 bytes to mtd0 (eraseblock 40, offset 0)\n" + ErrLine(EIO),
        mtd_write_img(&mtd, fd, 40, 0, path.c_str()));
}

// A kernel whose n-th read from now flips one bit of what the chip returned.
const kernel_ops* g_under = nullptr;
int g_reads_left = 0;
ssize_t FlippingRead(int fd, void* buf, size_t len) {
  ssize_t n = g_under->read(fd, buf, len);
  if (n > 100 && --g_reads_left == 0) static_cast<uint8_t*>(buf)[100] ^= 0x10;
  return n;
}

TEST_F(Ops, Torture) {
  Open();
  chip->fill(5 * kEb, kEb, 0x12);
  const std::string run = "libmtd: run torture test for PEB ";
  EXPECT_EQ(Ok(run + "5\nlibmtd: PEB 5 passed torture test, do not mark it a bad\n"),
            Outcome([&] { return mtd_torture(lib, &mtd, fd, 5); }));
  ASSERT_EQ(0, mtd_torture(lib, &mtd, fd, 5));
  // Three patterns, the last of which stays.
  EXPECT_TRUE(chip->erases() == 3 && chip->violations() == 0 && chip->data(5 * kEb)[0] == 0x00);
  // A failing erase or program ends the test with the kernel's errno.
  chip->fail_erase(6, EIO);
  EXPECT_EQ(
      Failure(EIO, kE + "MEMERASE64 ioctl failed for eraseblock 6 (mtd0)\n" + ErrLine(EIO), run + "6\n"),
      Outcome([&] { return mtd_torture(lib, &mtd, fd, 6); }));
  // A page that keeps its old bits gives the pattern failure.
  chip->fill(7 * kEb, kEb, 0xFF);
  chip->fail_program(7 * kEb / kPage + 10, EIO, -1);
  EXPECT_EQ(0u, Outcome([&] { return mtd_torture(lib, &mtd, fd, 7); })
                    .find(Failure(EIO, kE + "cannot write 131072 bytes to mtd0 (eraseblock 7, offset 0)\n",
                                  run + "7\n")));
  // Bits that do not change, in the erased block or in a pattern read back.
  kernel_ops flipping = *g_kernel;
  flipping.read = FlippingRead;
  g_under = kernel_install(&flipping);
  g_reads_left = 1;  // the read after the first erase
  EXPECT_EQ(Failure(EIO, kE + "erased PEB 5, but a non-0xFF byte found\n", run + "5\n"),
            Outcome([&] { return mtd_torture(lib, &mtd, fd, 5); }));
  g_reads_left = 4;  // the read-back of the second pattern
  EXPECT_EQ(Failure(EIO, kE + "pattern 5a checking failed for PEB 5\n", run + "5\n"),
            Outcome([&] { return mtd_torture(lib, &mtd, fd, 5); }));
  kernel_install(g_under);
}

// Each operation is one or two system calls on the caller's descriptor, and only there.
TEST_F(Ops, SystemCallsPerOperation) {
  Open();
  std::vector<uint8_t> data = Pattern(kPage, 7), oob(kOob, 0x24), buf(kPage), back(kPage);
  const std::pair<std::function<int()>, const char*> cases[] = {
      {[&] { return mtd_is_bad(&mtd, fd, 1); }, "MEMGETBADBLOCK"},
      {[&] { return mtd_mark_bad(&mtd, fd, 60); }, "MEMSETBADBLOCK"},
      {[&] { return mtd_erase(lib, &mtd, fd, 1); }, "MEMERASE64"},
      {[&] { return mtd_write(lib, &mtd, fd, 1, 0, data.data(), kPage, nullptr, 0, 0); }, "MEMWRITE"},
      {[&] { return mtd_read(&mtd, fd, 1, 0, back.data(), kPage); }, "lseek read"},
      {[&] { return mtd_read(&mtd, fd, 3, 0, nullptr, 0); }, "lseek"},
      {[&] { return mtd_write(lib, &mtd, fd, 5, 0, nullptr, kPage, nullptr, 0, 0); }, ""},
      {[&] { return mtd_write(lib, &mtd, fd, 1, kPage, data.data(), kPage, oob.data(), kOob, 0); },
       "MEMWRITE"},
      {[&] { return mtd_read_oob(lib, &mtd, fd, kEb, kOob, buf.data()); }, "MEMREADOOB64"},
      {[&] { return mtd_write_oob(lib, &mtd, fd, kEb + 2 * kPage, kOob, oob.data()); }, "MEMWRITEOOB64"},
      {[&] { return mtd_lock(&mtd, fd, 9); }, "MEMLOCK"},
      {[&] { return mtd_unlock(&mtd, fd, 9); }, "MEMUNLOCK"},
      {[&] { return mtd_is_locked(&mtd, fd, 9); }, "MEMISLOCKED"},
      {[&] { return mtd_valid_erase_block(&mtd, 9); }, ""},
  };
  for (const auto& c : cases) {
    k.clear_calls();
    ASSERT_EQ(0, c.first()) << c.second;
    EXPECT_EQ(c.second, Trace());
    for (const sim::Call& call : k.calls()) EXPECT_EQ("/dev/mtd0", call.path) << c.second;
  }
  EXPECT_EQ(data, back);  // the read got back the written page
}

// A kernel that is interrupted on every other call and otherwise moves at most 3 bytes, or
// nothing at all once told to.
bool g_zero_writes = false;
int g_choppy_calls = 0;
ssize_t ChoppyRead(int fd, void* buf, size_t len) {
  if (++g_choppy_calls % 2) return errno = EINTR, -1;
  return g_under->read(fd, buf, len < 3 ? len : 3);
}
ssize_t ChoppyWrite(int fd, const void* buf, size_t len) {
  if (++g_choppy_calls % 2) return errno = EINTR, -1;
  return g_zero_writes ? 0 : g_under->write(fd, buf, len < 3 ? len : 3);
}

// Devices and pipes hand over less than asked; the whole-transfer calls go on until all of it
// moved, the input ended, or the kernel refused.
TEST(KernelBoundary, FullTransfersRepeatShortAndInterruptedCalls) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  kernel_ops choppy = *g_kernel;
  choppy.read = ChoppyRead;
  choppy.write = ChoppyWrite;
  g_under = kernel_install(&choppy);
  EXPECT_EQ(0, k_write_full(p[1], "0123456789", 10));
  g_zero_writes = true;
  errno = 0;
  EXPECT_TRUE(k_write_full(p[1], "x", 1) == -1 && errno == ENOSPC);  // a file that stopped taking bytes
  close(p[1]);
  char buf[16] = {};
  EXPECT_EQ(4, k_read_full(p[0], buf, 4));
  EXPECT_EQ(6, k_read_full(p[0], buf + 4, sizeof buf - 4));  // the input ended
  EXPECT_STREQ("0123456789", buf);
  close(p[0]);
  g_zero_writes = false;
  errno = 0;
  EXPECT_TRUE(k_read_full(p[0], buf, 1) == -1 && errno == EBADF);
  errno = 0;
  EXPECT_TRUE(k_write_full(p[0], buf, 1) == -1 && errno == EBADF);
  kernel_install(g_under);
}

}  // namespace
