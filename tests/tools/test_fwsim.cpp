// fwsim's power-cut maps on the simulated board, checked against ones worked out by hand. Its
// plain runs are compared with the real kernel's by the system tier.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fwsim.h"
#include "PowerCut.h"
#include "child.h"

using namespace testutil;

namespace {

// The power-cut map, cutting every `every` operations, of a package of a.bin (three pages) and
// the scripts given.
CutMap Cuts(const std::vector<std::string>& scripts, long long every) {
  TempDir pkg, scratch;
  std::string bytes(3 * 2048, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 2048 * 7);
  WriteAll(pkg.file("a.bin"), bytes);
  for (size_t i = 0; i < scripts.size(); ++i)
    WriteAll(pkg.file("fwupdate_" + std::to_string(i + 1)), scripts[i]);
  SimOptions o;
  o.chip_size = 16ull << 20;  // enough for every place the packages name, quicker to fork
  CutMap map;
  std::string why;
  EXPECT_TRUE(PowerCutMap(o, pkg.path(), scratch.path(), every, &map, &why)) << why;
  return map;
}

// One line per stretch: its cut points, the line it interrupts, the environment's and ranges' states.
std::string Stretches(const CutMap& map) {
  std::string out;
  for (const CutStretch& s : map.stretches) {
    out += std::to_string(s.first) + "-" + std::to_string(s.last) + " line " +
           std::to_string(map.ranges.at(static_cast<size_t>(s.range)).line) + " env " + s.env + ":";
    for (const std::string& state : s.states) out += " " + state;
    out += "\n";
  }
  return out;
}

}  // namespace

// Three pages into a range of two eraseblocks, then the switch. Operations: the range's two
// erases (0, 1), its three pages (2-4), the environment's erase (5) and its 64 pages (6-69).
// A cut in the range leaves the old slot booting; from the environment's erase on, the block
// fails its CRC until the last page is in, so the boot loader is on its defaults.
TEST(Fwsim, PowerCutMapOfWriteThenSwitch) {
  const CutMap map = Cuts({"write 200000 40000 a.bin\nsetenv 3c0000 20000 image 2\n"}, 1);
  EXPECT_TRUE(map.ops == 70 && map.points == 70) << map.ops << " " << map.points;
  EXPECT_TRUE(map.on_defaults == 64 + 1 && map.on_partial_slot == 0);
  EXPECT_EQ("0-1 line 1 env old: old\n2-4 line 1 env old: partial\n5-69 line 2 env lost: new\n",
            Stretches(map));
}

// The switch first: every cut after the environment is in selects a slot not yet written.
TEST(Fwsim, PowerCutMapOfSwitchThenWrite) {
  const CutMap map = Cuts({"setenv 3c0000 20000 image 2\nwrite 200000 40000 a.bin\n"}, 5);
  EXPECT_EQ(14u, map.points);          // 0, 5, ... 65 of 70
  EXPECT_EQ(13u, map.on_defaults);     // 0-64: the environment's erase and pages
  EXPECT_EQ(1u, map.on_partial_slot);  // 65: the range's first erase
}

// fwupdate_1 rewrites in place the range that fwupdate_2 writes before it switches to slot 1,
// the slot the board boots: every cut after the erase leaves that slot half written.
TEST(Fwsim, PowerCutMapOfRewriteOfTheBootedSlot) {
  const CutMap map =
      Cuts({"write 400000 20000 a.bin\n", "write 400000 40000 a.bin\nsetenv 3c0000 20000 image 1\n"}, 1);
  EXPECT_EQ(4u, map.points);  // the erase, three pages
  EXPECT_EQ(3u, map.on_partial_slot);
  EXPECT_EQ("0-0 line 1 env old: old\n1-3 line 1 env old: partial\n", Stretches(map));
  EXPECT_FALSE(map.stretches[1].switched);
}
