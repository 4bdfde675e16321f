// fwsim's runs of fwapply's engine on the simulated board: what a run leaves on the flash, the
// writer's ways round bad places, and a power-cut map checked against one worked out by hand.
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fwsim.h"
#include "PowerCut.h"
#include "SimBoard.h"
#include "child.h"

using testutil::TempDir;
using testutil::WriteAll;

namespace {

const uint64_t kEb = 0x20000;

std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed + i / 2048 * 7) & 0x7F);
  return s;
}

SimOptions Small() {
  SimOptions o;
  o.chip_size = 16ull << 20;  // enough for every place the packages name, quicker to fork
  return o;
}

// The example package of the system tests with a kernel of 1 MiB, in dir.
std::string Example(const TempDir& dir) {
  const std::string kernel = Bytes(0x100000, 1);
  WriteAll(dir.file("kernel.img"), kernel);
  WriteAll(dir.file("fwupdate_1"), testutil::ReadAll(FW_EXAMPLE_DIR "/fwupdate_1"));
  WriteAll(dir.file("fwupdate_2"), testutil::ReadAll(FW_EXAMPLE_DIR "/fwupdate_2"));
  return kernel;
}

// One run; the result holds the boot variables, then the bytes at `at` of the kernel's length.
SimRun RunOn(const SimOptions& o, const TempDir& pkg, const TempDir& scratch, uint64_t at, size_t len) {
  sim::Chip chip(SimGeometry(o));
  SimPrepare(o, &chip);
  const SimAfter after = [at, len](sim::Chip& c, int) {
    return SimEnvText(c) + std::string(reinterpret_cast<const char*>(c.data(at)), len);
  };
  return SimRunOnce(o, chip, pkg.path(), scratch.path(), -1, after);
}

// The power-cut map, cutting every `every` operations, of a package of a.bin (three pages of
// bytes from seed) and the scripts given.
CutMap Cuts(unsigned seed, const std::vector<std::string>& scripts, long long every) {
  TempDir pkg, scratch;
  WriteAll(pkg.file("a.bin"), Bytes(3 * 2048, seed));
  for (size_t i = 0; i < scripts.size(); ++i)
    WriteAll(pkg.file("fwupdate_" + std::to_string(i + 1)), scripts[i]);
  CutMap map;
  std::string why;
  EXPECT_TRUE(PowerCutMap(Small(), pkg.path(), scratch.path(), every, &map, &why)) << why;
  return map;
}

}  // namespace

TEST(Fwsim, ExamplePackageWritesTheOtherSlotAndSwitches) {
  TempDir pkg, scratch;
  const std::string kernel = Example(pkg);
  SimRun r = RunOn(Small(), pkg, scratch, 0x200000, kernel.size());
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\nfinish\n")) << r.out;
  EXPECT_EQ(0u, r.result.find("crc ok ")) << r.result.substr(0, 80);
  EXPECT_NE(std::string::npos, r.result.find("\nimage=2\nbootdelay=3\nboard=sim\n"));
  EXPECT_TRUE(r.result.size() > kernel.size() &&
              r.result.compare(r.result.size() - kernel.size(), kernel.size(), kernel) == 0);

  SimOptions two = Small();
  two.env = "image=2";
  r = RunOn(two, pkg, scratch, 0x400000, kernel.size());
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.result.find("\nimage=1\n"));
  EXPECT_EQ(0, r.result.compare(r.result.size() - kernel.size(), kernel.size(), kernel));
}

TEST(Fwsim, CommandLineShowsTheBoardsReport) {
  TempDir pkg;
  Example(pkg);
  const std::string path = pkg.path();
  const testutil::ChildResult r = testutil::RunChild([&path]() {
    std::vector<std::string> args = {"fwsim", "--chip", "16M,2048,64", "--bad-blocks", "3", path};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    return FwsimMain(static_cast<int>(argv.size()), argv.data());
  });
  EXPECT_EQ(0, r.status) << r.err;
  for (const char* part : {"--- exit status ---\n0\n", "\n0x00000000 ...B............WWWWWWWW......W...",
                           "after ---\ncrc ok 0x", "\nimage=2\n"})
    EXPECT_NE(std::string::npos, r.out.find(part)) << part;
}

// The kernel writes the bad-block mark into the block's first page: when that page is the one
// that fails, marking fails too, and the block is bad all the same.
TEST(Fwsim, WriterPassesOverABadBlockAndAFailedPage) {
  TempDir pkg, scratch;
  const std::string kernel = Example(pkg);
  const struct {
    std::vector<uint64_t> bad;
    uint64_t failing_page;  // 0: none
    const char* err;
  } cases[] = {
      {{17}, 0, ""},
      {{}, 17 * 64 + 5, "Marking block at 0x220000 bad"},
      {{},
       17 * 64,
       "Marking block at 0x220000 bad\nlibmtd: error!: MEMSETBADBLOCK ioctl failed for eraseblock 17 (mtd0)\n"
       "        error 5 (Input/output error)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    SimOptions o = Small();
    o.bad_blocks = c.bad;
    if (c.failing_page) o.fail_pages = {{c.failing_page, 0}};
    const SimRun r = RunOn(o, pkg, scratch, 0x240000, 2 * kEb);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    EXPECT_EQ(0, r.result.compare(r.result.size() - 2 * kEb, 2 * kEb, kernel.substr(kEb, 2 * kEb)));
  }
}

// Three pages into a range of two eraseblocks, then the switch. Operations: the range's two
// erases (0, 1), its three pages (2-4), the environment's erase (5) and its 64 pages (6-69).
// A cut in the range leaves the old slot booting; from the environment's erase on, the block
// fails its CRC until the last page is in, so the boot loader is on its defaults.
TEST(Fwsim, PowerCutMapOfWriteThenSwitch) {
  const CutMap map = Cuts(2, {"write 200000 40000 a.bin\nsetenv 3c0000 20000 image 2\n"}, 1);
  EXPECT_EQ(70u, map.ops);
  EXPECT_EQ(70u, map.points);
  EXPECT_EQ(64u + 1, map.on_defaults);
  EXPECT_EQ(0u, map.on_partial_slot);
  ASSERT_EQ(3u, map.stretches.size());
  const struct {
    long long first, last;
    int line;
    const char* env;
    const char* range;
  } want[] = {{0, 1, 1, "old", "old"}, {2, 4, 1, "old", "partial"}, {5, 69, 2, "lost", "new"}};
  for (size_t i = 0; i < 3; ++i) {
    const CutStretch& s = map.stretches[i];
    EXPECT_EQ(want[i].first, s.first);
    EXPECT_EQ(want[i].last, s.last);
    ASSERT_LE(0, s.range);
    EXPECT_EQ(want[i].line, map.ranges[static_cast<size_t>(s.range)].line);
    EXPECT_EQ(want[i].env, s.env);
    EXPECT_EQ(std::vector<std::string>{want[i].range}, s.states);
  }
}

// The switch first: every cut after the environment is in selects a slot not yet written.
TEST(Fwsim, PowerCutMapOfSwitchThenWrite) {
  const CutMap map = Cuts(3, {"setenv 3c0000 20000 image 2\nwrite 200000 40000 a.bin\n"}, 5);
  EXPECT_EQ(70u, map.ops);
  EXPECT_EQ(14u, map.points);          // 0, 5, ... 65
  EXPECT_EQ(13u, map.on_defaults);     // 0-64: the environment's erase and pages
  EXPECT_EQ(1u, map.on_partial_slot);  // 65: the range's first erase
}

// fwupdate_1 rewrites in place the range that fwupdate_2 writes before it switches to slot 1,
// the slot the board boots: every cut after the erase leaves that slot half written.
TEST(Fwsim, PowerCutMapOfRewriteOfTheBootedSlot) {
  const CutMap map =
      Cuts(4, {"write 400000 20000 a.bin\n", "write 400000 40000 a.bin\nsetenv 3c0000 20000 image 1\n"}, 1);
  EXPECT_EQ(4u, map.points);  // the erase, three pages
  EXPECT_EQ(3u, map.on_partial_slot);
  ASSERT_EQ(2u, map.stretches.size());
  EXPECT_FALSE(map.stretches[1].switched);
  EXPECT_EQ(std::vector<std::string>{"partial"}, map.stretches[1].states);
}
