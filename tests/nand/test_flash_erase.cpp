// Range erase on a simulated chip: which blocks are erased, the record the writer trusts instead
// of reading every block back, the reports, and that no path leaves a descriptor or heap behind.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "board.h"
#include "flash_erase.h"
#include "heap_check.h"

using testboard::ErrLine;
using testboard::kDev;
using B = testboard::Board;

namespace {

// The record of blocks 0..64, one letter each ('.' not reached, Erased, Bad, Failed), from runs
// of a count and a letter: "3E2B" is "EEEBB".
std::string Record(const char* runs) {
  std::string s;
  for (char* end; *runs; runs = end + 1) {
    const long n = strtol(runs, &end, 10);
    s.append(n, *end);
  }
  return s;
}

// The call's result, or 7 when its record differs from want.
int Erase(const char* dev, int start, int count, const std::string& want) {
  const int rc = flash_erase(dev, start, count);
  for (size_t e = 0; e < want.size(); e++)
    if (".EBF"[flash_erase_state(kDev, e)] != want[e]) return 7;
  return rc;
}

TEST(FlashErase, RangesAndTheirRecord) {
  const std::string kLib = "libmtd: error!: ", kFe = "flash_erase: error!: /dev/mtd0: ";
  struct Case {
    const char* what;
    int start, count, status;
    const char* record;  // erased blocks also where the run ends the process
    std::string out, err;
  } cases[] = {
      // A block that fails to erase is recorded, reported, and the run goes on.
      {"count 0 runs to the device end", 0, 0, 0, "3E2B53E1F5E1.",
       "Skipping bad block at 00060000Skipping bad block at 00080000",
       kLib + "MEMERASE64 ioctl failed for eraseblock 58 (mtd0)\n" + ErrLine("libmtd", EIO) + kFe +
           "MTD Erase failure\n" + ErrLine("flash_erase", EIO)},
      {"a start inside a block takes the whole block", 0x20000 + 2048, 2, 0, "1.2E62.", "", ""},
      {"past the device end", 60 * 0x20000, 6, 255, "60.4E1.", "",
       kLib + "bad eraseblock number 64, mtd0 has 64 eraseblocks\n" + kFe + "MTD get bad block failed\n" +
           ErrLine("flash_erase", EINVAL)},
      {"a start past the device with count 0 is empty", 70 * 0x20000, 0, 0, "65.", "", ""},
      // A length below zero in a script names no block, not "up to the device end".
      {"negative count", 0, -1, 0, "65.", "", ""},
      {"negative start", -0x20000, 0, 0, "65.", "", ""},
  };
  testutil::TempDir d;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    B b(d.path(), sim::Geometry());
    b.chip.mark_bad(3);
    b.chip.mark_bad(4);
    b.chip.fail_erase(58);
    testboard::Snapshot s;
    const std::string want = Record(c.record);
    auto r = testboard::RunOn(
        b, [&] { return Erase(kDev, c.start, c.count, want); }, &s);
    EXPECT_EQ(c.status, r.status) << r.err;
    std::vector<uint32_t> erased;
    for (uint32_t e = 0; e < want.size(); e++)
      if (want[e] == 'E') erased.push_back(e);
    EXPECT_EQ(erased, s.erased);
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
  const std::tuple<const char*, std::function<void(B&)>, std::string> cases[] = {
      {"/dev/mtd9", [](B&) {}, "flash_erase: error!: /dev/mtd9\n" + ErrLine("flash_erase", ENOENT)},
      {"/dev/mtd5", [](B& b) { b.kernel.add_node("/dev/mtd5", 90, 10, 0); },
       "flash_erase: error!: mtd_get_dev_info failed\n"},
      {kDev, [](B& b) { b.kernel.fail_open("/sys/class/mtd", EACCES); },
       "libmtd: error!: cannot open \"/sys/class/mtd\"\n"},
      // A NAND chip that cannot tell its bad blocks is not erased blindly; the run stops before
      // block 0, so nothing of the range may pass for erased.
      {kDev, [](B& b) { b.chip.bb_supported = false; },
       "libmtd: error!: MEMGETBADBLOCK ioctl failed for eraseblock 0 (mtd0)\n" +
           ErrLine("libmtd", EOPNOTSUPP) + "flash_erase: error!: /dev/mtd0: Bad block check not available\n"},
  };
  testutil::TempDir d;
  for (const auto& c : cases) {
    const std::string& err = std::get<2>(c);
    SCOPED_TRACE(err);
    B b(d.path(), sim::Geometry());
    std::get<1>(c)(b);
    testboard::Snapshot s;
    auto r = testboard::RunOn(
        b, [&] { return Erase(std::get<0>(c), 0, 2, "."); }, &s);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(err, r.err.substr(0, err.size()));
    EXPECT_TRUE(s.erased.empty() && s.open_fds == 0);
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
