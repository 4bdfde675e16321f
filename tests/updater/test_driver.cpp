// The driver's script selection and run: the boot slot from the environment on
// /dev/mtdblock4, the script it names, the budget line before the first command, and the
// results, with the recording NAND stand-in behind the script.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/child_check.h"
#include "UpgradeScript.h"
#include "board.h"
#include "fake_nand.h"

using testboard::Board;
using testutil::ChildResult;

namespace {

typedef std::vector<std::pair<std::string, std::string>> Files;

// fwapply on the unpacked package (files) with the boot environment env (none when device is
// false); the child's status is fwapply's, 1 when a check failed. check runs afterwards.
ChildResult Drive(const std::vector<std::string>& env, const Files& files,
                  const std::function<int(Board&)>& check = nullptr, bool device = true) {
  return testboard::OnBoard([&](Board& b) -> int {
    fakenand::Reset(&b.chip);
    if (device) b.add_env(env);
    // Board files a script must not reach, and a directory and a link to one in the package.
    testutil::WriteAll(b.root + "/outside.bin", std::string(0x800, 'o'));
    mkdir((b.root + "/ext").c_str(), 0755);
    testutil::WriteAll(b.root + "/ext/k.bin", "k");
    mkdir(b.path("sub").c_str(), 0755);
    if (symlink((b.root + "/ext").c_str(), b.path("ext").c_str()) != 0) return 2;
    for (const auto& f : files) b.put(f.first, f.second);
    if (chdir(b.work.c_str()) != 0) return 2;  // where a relative chkver file is looked up
    const int rc = testboard::Apply(b);
    if (check && check(b) != 0) return 1;
    return rc;
  });
}

int NoFlash(Board&) {
  CHILD_CHECK(fakenand::ops.empty());
  return 0;
}

}  // namespace

TEST(DriverSlot, ImageVariableSelectsTheScript) {
  const struct {
    const char* value;
    const char* script;
  } cases[] = {{"image=3", "fwupdate_3"},
               {"image=0", "fwupdate_0"},
               {"image=a", "fwupdate_0"},
               {"image=-1", "fwupdate_-1"},
               {"image= 12abc", "fwupdate_12"}};
  for (const auto& c : cases) {
    ChildResult r = Drive({"bootdelay=1", c.value},
                          {{"fwupdate_1", "WRONG\n"}, {c.script, "erase 0 20000\n"}}, [](Board&) {
                            CHILD_CHECK_EQ(std::string("erase"), fakenand::Trace());
                            return 0;
                          });
    EXPECT_EQ(0, r.status) << c.value << r.out;
    EXPECT_EQ(std::string("Checking ") + c.script + " \nTotal Block to Write = 0\nfinish\n", r.out);
    EXPECT_EQ("", r.err) << c.value;
  }
}

TEST(DriverSlot, MissingVariableDeviceOrScriptStopsBeforeAnyFlashAccess) {
  const std::string refused = "Checking fwupdate_1 \nfail to open fwupdate_1, badimage, abort\n";
  const std::string noenv = "cannot find image environment variable, abort\n";
  const struct {
    std::vector<std::string> env;
    bool device;
    Files files;
    std::string out;
  } cases[] = {
      {{"bootdelay=1", "images=1", "image"},
       true,
       {{"fwupdate_1", "erase 0 20000\n"}, {"fwupdate_0", "erase 0 20000\n"}},
       noenv},
      {{"image=1"}, false, {{"fwupdate_1", "erase 0 20000\n"}}, noenv},
      {{"image=1"},
       true,
       {{"fwupdate_2", "erase 0 20000\n"}},
       "Checking fwupdate_1 \nfwupdate_1 is not found in image\nfail to open fwupdate_1, badimage, abort\n"},
      {{"image=1"}, true, {{"fwupdate_1", std::string("erase 0 20000\n\0erase 20000 20000\n", 34)}}, refused},
      {{"image=1"},
       true,
       {{"fwupdate_1", std::string(UpgradeScript::kScriptLimit, '\n') + "erase 0 20000\n"}},
       refused},
  };
  for (const auto& c : cases) {
    ChildResult r = Drive(c.env, c.files, NoFlash, c.device);
    EXPECT_EQ(255, r.status) << r.out;
    EXPECT_EQ(c.out, r.out);
  }
}

TEST(DriverSlot, ImagesAreTakenOnlyFromInsideThePackage) {
  const struct {
    const char* line;
    const char* err;  // what stderr starts with; empty: the line runs
  } cases[] = {
      {"write 200000 20000 ../outside.bin",
       "write 200000 20000 ../outside.bin: <board>/update/../outside.bin is outside the package\n"},
      {"writeoob 200000 20000 sub/../../outside.bin",
       "writeoob 200000 20000 sub/../../outside.bin: <board>/update/sub/../../outside.bin is outside the "
       "package\n"},
      {"write 200000 20000 ext/k.bin", "write 200000 20000 ext/k.bin: <board>/update/ext/k.bin "},
      {"write 200000 20000 sub/../k.bin", ""},
  };
  for (const auto& c : cases) {
    ChildResult r = Drive(
        {"image=1"}, {{"fwupdate_1", std::string(c.line) + "\nerase 400000 20000\n"}, {"k.bin", "k"}},
        [&](Board&) {
          CHILD_CHECK_EQ(std::string(*c.err ? "" : "erase dump_mem write_file erase"), fakenand::Trace());
          return 0;
        });
    EXPECT_EQ(0, r.status) << c.line;
    EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("finish")) << c.line;
  }
}

TEST(DriverSlot, BudgetIsOutBeforeTheFirstCommandAndRefusalStillSucceeds) {
  ChildResult r = Drive({"image=1"}, {{"fwupdate_1", ""}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Checking fwupdate_1 \nTotal Block to Write = -1\n", r.out);

  r = Drive({"image=2"},
            {{"fwupdate_2", "write 200000 40000 k.bin\nsetenv 3c0000 20000 image 1\n"},
             {"k.bin", std::string(0x30000, 'k')}},
            [](Board& b) {
              CHILD_CHECK_EQ(std::string("erase dump_mem write_file erase write_mem"), fakenand::Trace());
              CHILD_CHECK_EQ(0u, static_cast<unsigned>(fakenand::ops[0].pending));
              CHILD_CHECK(b.env_is(testboard::kEnvAt, {"image=1"}));
              return 0;
            });
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("Checking fwupdate_2 \nTotal Block to Write = 3\nfinish\n", r.out);

  r = Drive({"image=2"}, {{"fwupdate_2", "chkver ver 2.0\nerase 0 20000\n"}, {"ver", "v1.9r1 old\n"}},
            [](Board& b) { return NoFlash(b); });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Checking fwupdate_2 \nTotal Block to Write = 0\nCheck Version Error (v2.0 required), badimage\n",
            r.out);
}
