// The driver's script selection and run: the boot slot from the environment on
// /dev/mtdblock4, the script it names, the budget line before the first command, and the
// results, with the recording NAND stand-in behind the script.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/child_check.h"
#include "private_ns.h"
#include "Driver.h"
#include "UpgradeScript.h"
#include "bench.h"
#include "child.h"
#include "fake_nand.h"

using bench::Board;
using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const uint64_t kEnvAt = 0x3C0000;

struct Slot {
  std::vector<std::string> env;  // entries of the block behind /dev/mtdblock4
  bool device = true;            // whether /dev/mtdblock4 exists
  std::vector<std::pair<std::string, std::string>> files;  // in /tmp/update
};

// FwApplyMain on the already unpacked /tmp/update; the child's status is main's (0 or 255),
// 1 when a check failed. check runs after main returned.
ChildResult Drive(const Slot& slot, const std::function<int(Board&)>& check = nullptr) {
  return RunIsolated([&]() -> int {
    Board b;
    fakenand::Reset(&b.chip);
    bench::Program(b.chip, kEnvAt, bench::EnvBlock(slot.env));
    if (slot.device) b.kernel.add_block("/dev/mtdblock4", &b.chip, kEnvAt, bench::kEnvSize);
    // Board files a script must not reach, and a directory and a link to one in the package.
    bench::Put("/tmp/outside.bin", std::string(0x800, 'o'));
    mkdir("/tmp/ext", 0755);
    bench::Put("/tmp/ext/k.bin", "k");
    mkdir("/tmp/update/sub", 0755);
    if (symlink("/tmp/ext", "/tmp/update/ext") != 0) return 2;
    for (const auto& f : slot.files) bench::Put(std::string(bench::kDir) + "/" + f.first, f.second);
    char arg0[] = "fwapply", arg1[] = "/tmp/update";
    char* argv[] = {arg0, arg1, nullptr};
    int rc = FwApplyMain(2, argv);
    fflush(stdout);
    if (check && check(b) != 0) return 1;
    return rc & 0xFF;
  });
}

}  // namespace

TEST(DriverSlot, ImageVariableSelectsTheScript) {
  struct Case {
    const char* value;
    const char* script;
  } cases[] = {{"image=3", "fwupdate_3"}, {"image=0", "fwupdate_0"}, {"image=a", "fwupdate_0"},
               {"image=-1", "fwupdate_-1"}, {"image= 12abc", "fwupdate_12"}};
  for (const Case& c : cases) {
    Slot s;
    s.env = {"bootdelay=1", c.value};
    s.files = {{"fwupdate_1", "WRONG\n"}, {c.script, "erase 0 20000\n"}};
    ChildResult r = Drive(s, [](Board&) {
      CHILD_CHECK_EQ(std::string("erase"), fakenand::Trace());
      return 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << c.value << r.out;
    EXPECT_EQ(std::string("Checking ") + c.script + " \nTotal Block to Write = 0\nfinish\n", r.out);
    EXPECT_EQ("", r.err) << c.value;
  }
}

TEST(DriverSlot, MissingVariableOrDeviceStopsBeforeAnyFlashAccess) {
  Slot none;
  none.env = {"bootdelay=1", "images=1", "image"};
  none.files = {{"fwupdate_1", "erase 0 20000\n"}, {"fwupdate_0", "erase 0 20000\n"}};
  Slot nodev = none;
  nodev.env = {"image=1"};
  nodev.device = false;
  for (const Slot& s : {none, nodev}) {
    ChildResult r = Drive(s, [](Board&) {
      CHILD_CHECK(fakenand::ops.empty());
      return 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(255, r.status) << r.out;
    EXPECT_EQ("cannot find image environment variable, abort\n", r.out);
  }
}

TEST(DriverSlot, MissingOrUnreadableScriptIsRejectedBeforeAnyLine) {
  const std::string refused = "Checking fwupdate_1 \nfail to open fwupdate_1, badimage, abort\n";
  struct Case {
    bool present;
    std::string script;
    std::string out;
  } cases[] = {
      {false, "", "Checking fwupdate_1 \nfwupdate_1 is not found in image\nfail to open fwupdate_1, badimage, abort\n"},
      {true, std::string("erase 0 20000\n\0erase 20000 20000\n", 34), refused},
      {true, std::string(UpgradeScript::kScriptLimit, '\n') + "erase 0 20000\n", refused},
  };
  for (const Case& c : cases) {
    Slot s;
    s.env = {"image=1"};
    s.files = {{"fwupdate_2", "erase 0 20000\n"}};
    if (c.present) s.files.push_back({"fwupdate_1", c.script});
    ChildResult r = Drive(s, [](Board&) {
      CHILD_CHECK(fakenand::ops.empty());
      return 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(255, r.status) << r.out;
    EXPECT_EQ(c.out, r.out);
  }
}

TEST(DriverSlot, ImagesAreTakenOnlyFromInsideThePackage) {
  struct Case {
    const char* line;
    const char* err;  // what stderr starts with; empty: the line runs
  } cases[] = {
      {"write 200000 20000 ../outside.bin", "write 200000 20000 ../outside.bin: /tmp/update/../outside.bin is outside the package\n"},
      {"writeoob 200000 20000 sub/../../outside.bin", "writeoob 200000 20000 sub/../../outside.bin: /tmp/update/sub/../../outside.bin is outside the package\n"},
      {"write 200000 20000 ext/k.bin", "write 200000 20000 ext/k.bin: /tmp/update/ext/k.bin "},
      {"write 200000 20000 sub/../k.bin", ""},
  };
  for (const Case& c : cases) {
    Slot s;
    s.env = {"image=1"};
    s.files = {{"fwupdate_1", std::string(c.line) + "\nerase 400000 20000\n"}, {"k.bin", "k"}};
    ChildResult r = Drive(s, [&](Board&) {
      CHILD_CHECK_EQ(std::string(*c.err ? "" : "erase dump_mem write_file erase"), fakenand::Trace());
      return 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << c.line;
    EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("finish")) << c.line;
  }
}

TEST(DriverSlot, EmptyScriptPrintsMinusOneAndSucceeds) {
  Slot s;
  s.env = {"image=1"};
  s.files = {{"fwupdate_1", ""}};
  ChildResult r = Drive(s);
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Checking fwupdate_1 \nTotal Block to Write = -1\n", r.out);
}

TEST(DriverSlot, BudgetIsOutBeforeTheFirstCommandAndRefusalStillSucceeds) {
  Slot s;
  s.env = {"image=2"};
  s.files = {{"fwupdate_2", "write 200000 40000 k.bin\nsetenv 3c0000 20000 image 1\n"},
             {"k.bin", std::string(0x30000, 'k')}};
  ChildResult r = Drive(s, [](Board& b) {
    CHILD_CHECK_EQ(std::string("erase dump_mem write_file erase write_mem"), fakenand::Trace());
    CHILD_CHECK_EQ(0u, static_cast<unsigned>(fakenand::ops[0].pending));
    CHILD_CHECK_EQ(std::string(),
                   bench::CheckEnv(bench::Read(b.chip, kEnvAt, bench::kEnvSize), {"image=1"}));
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("Checking fwupdate_2 \nTotal Block to Write = 3\nfinish\n", r.out);

  s.files = {{"fwupdate_2", "chkver /tmp/update/ver 2.0\nerase 0 20000\n"},
             {"ver", "v1.9r1 old\n"}};
  r = Drive(s, [](Board&) {
    CHILD_CHECK(fakenand::ops.empty());
    return 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Checking fwupdate_2 \nTotal Block to Write = 0\n"
            "Check Version Error (v2.0 required), badimage\n",
            r.out);
}
