// Range erase: the blocks erased, the record the writer trusts instead of reading back, reports.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "flash_erase.h"

using testboard::ErrLine;
using testboard::kDev;
using B = testboard::Board;

namespace {

// The record of blocks 0..64 ('.' not reached, Erased, Bad, Failed) from runs: "3E2B" is "EEEBB".
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

TEST(FlashErase, RangesTheirRecordAndFailures) {
  const std::string kLib = "libmtd: error!: ", kFe = "flash_erase: error!: ";
  struct Case {
    const char* dev;
    std::function<void(B&)> setup;
    int start, count, status;
    const char* record;  // erased blocks also where the run ends the process
    std::string out, err;
  } cases[] = {
      // A block that fails to erase is recorded, reported, and the run goes on.
      {kDev, nullptr, 0, 0, 0, "3E2B53E1F5E1.",
       "Skipping bad block at 00060000Skipping bad block at 00080000",
       kLib + "MEMERASE64 ioctl failed for eraseblock 58 (mtd0)\n" + ErrLine("libmtd", EIO) + kFe +
           "/dev/mtd0: MTD Erase failure\n" + ErrLine("flash_erase", EIO)},
      {kDev, nullptr, 0x20000 + 2048, 2, 0, "1.2E62.", "", ""},  // a start inside a block: the whole block
      {kDev, nullptr, 60 * 0x20000, 6, 255, "60.4E1.", "",
       kLib + "bad eraseblock number 64, mtd0 has 64 eraseblocks\n" + kFe +
           "/dev/mtd0: MTD get bad block failed\n" + ErrLine("flash_erase", EINVAL)},
      // A length below zero in a script names no block, not "up to the device end".
      {kDev, nullptr, 0, -1, 0, "65.", "", ""},
      {"/dev/mtd5", [](B& b) { b.kernel.add_node("/dev/mtd5", 90, 10, 0); }, 0, 2, 255, ".", "",
       kFe + "mtd_get_dev_info failed\n"},
      // A NAND chip that cannot tell its bad blocks is not erased blindly, nor passes for erased.
      {kDev, [](B& b) { b.chip.bb_supported = false; }, 0, 2, 255, ".", "",
       kLib + "MEMGETBADBLOCK ioctl failed for eraseblock 0 (mtd0)\n" + ErrLine("libmtd", EOPNOTSUPP) + kFe +
           "/dev/mtd0: Bad block check not available\n"},
  };
  testutil::TempDir d;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record + c.err);
    B b(d.path(), sim::Geometry());
    b.chip.mark_bad(3);
    b.chip.mark_bad(4);
    b.chip.fail_erase(58);
    if (c.setup) c.setup(b);
    testboard::Snapshot s;
    const std::string want = Record(c.record);
    auto r = testboard::RunOn(
        b, [&] { return Erase(c.dev, c.start, c.count, want); }, &s);
    std::vector<uint32_t> erased;
    for (uint32_t e = 0; e < want.size(); e++)
      if (want[e] == 'E') erased.push_back(e);
    EXPECT_EQ(erased, s.erased);
    EXPECT_EQ(std::to_string(c.status) + c.out + "|" + c.err, std::to_string(r.status) + r.out + "|" + r.err);
    EXPECT_EQ(0u, s.open_fds);
  }
}

}  // namespace
