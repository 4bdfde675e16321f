// The script engine's own pieces on the simulated board: numbers, partition lookup, the write
// budget, loading a script and the blank check. Whole runs are in test_update.cpp.
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "../support/child_check.h"
#include "UpgradeScript.h"
#include "board.h"
#include "flash_oracle.h"

using testboard::Board;
using testboard::Exists;
using testboard::OnBoard;
using testutil::ChildResult;

namespace {

const char kHead[] = "dev:    size   erasesize  name\n";
const char kKernel[] = "mtd1: 00400000 00020000 \"kernel\"\n";
const char kEnv[] = "mtd4: 00020000 00020000 \"u-boot-env\"\n";

}  // namespace

TEST(ScriptNumbers, HexRuleWithPrefixStopAndSaturation) {
  EXPECT_EQ(0, UpgradeScript::ParseHex(nullptr));
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"", 0},
      {"zz", 0},
      {"20000", 0x20000},
      {"0x20000", 0x20000},
      {"20000xyz", 0x20000},
      {"0X100000", 0x100000},
      {"100000h", 0x100000},
      {"aBcDeF", 0xABCDEF},
      {"-20000", -0x20000},
      {"7fffffff", INT_MAX},
      // Beyond the signed 32-bit range on every platform, also where long has 64 bits.
      {"80000000", INT_MAX},
      {"ffffffff", INT_MAX},
      {"fffffffffffffffffffff", INT_MAX},
      {"-80000000", INT_MIN},
      {"-ffffffff", INT_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, UpgradeScript::ParseHex(c.text)) << c.text;
}

// Patterns are basic regular expressions matched against each line of /proc/mtd, the matching
// lines left in result.txt, as grep did; no text of a pattern ever reaches a shell.
TEST(ScriptPartition, PatternsMatchAsGrepTakesThem) {
  ChildResult r = OnBoard([](Board& b) -> int {
    const std::string last = "mtd5: 00100000 00020000 \"rootfs2\"";  // no line end
    b.kernel.set_file("/proc/mtd", kHead + std::string(kKernel) + kEnv + last);
    const std::string p = b.root + "/pwned";
    const struct {
      std::string pattern;
      int found;
      std::string result;  // "*": not looked at
    } cases[] = {
        {"kernel", 1, kKernel},
        {"kern", 1, "*"},
        {"rootfs1", 0, ""},
        {"mtd[45]:", 1, kEnv + last + "\n"},
        {"^mtd1.*kernel\"$", 1, "*"},
        {"kernel\\+x", 0, "*"},
        {"\"u-boot-env\"", 1, "*"},
        {"ker[nel", 0, "*"},
        {"x\"; touch " + p + "; \"", 0, "*"},
        {"$(touch " + p + ")", 0, "*"},
        {"`touch " + p + "`", 0, "*"},
        {"x\" > " + p + "; echo \"", 0, "*"},
    };
    UpgradeScript s;
    s.m_sScriptDir = b.work;
    for (const auto& c : cases) {
      CHILD_CHECK_EQ(c.found, s.CheckPartition(c.pattern.c_str()));
      CHILD_CHECK(c.result == "*" || c.result == b.get("result.txt"));
      CHILD_CHECK(!Exists(p));
    }
    b.kernel.set_file("/proc/mtd", kHead + std::string("mtd2: 1 2 \"$(a)\"\n"));
    CHILD_CHECK_EQ(1, s.CheckPartition("$(a)"));
    // A result.txt that came as a link is replaced, its target left alone.
    testutil::WriteAll(b.root + "/victim", "keep");
    unlink(b.path("result.txt").c_str());
    CHILD_CHECK_EQ(0, symlink((b.root + "/victim").c_str(), b.path("result.txt").c_str()));
    CHILD_CHECK_EQ(1, s.CheckPartition("mtd2"));
    CHILD_CHECK_EQ(std::string("keep"), testutil::ReadAll(b.root + "/victim"));
    // Without a partition table nothing is listed, and the result is still there to read.
    b.kernel.no_proc_mtd();
    unlink(b.path("result.txt").c_str());
    CHILD_CHECK_EQ(0, s.CheckPartition("nand0"));
    CHILD_CHECK(Exists(b.path("result.txt")));
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.err.find("ker[nel")) << r.err;
}

TEST(ScriptBudget, CountsPerKeywordAndConditionsOnlyForUnknownPartitions) {
  std::string many;  // a sum beyond the int range stays at its top instead of wrapping
  for (int i = 0; i < 70000; ++i) many += "dupoob 0 -1\n";
  const std::string one = "ifnpart kernel write 0 20000 k.bin\n";
  const std::string chain = "ifnpart rootfs ifnpart kernel write 0 20000 k.bin\nsetenv 0 0 a b\n";
  const struct {
    std::string text;
    int blocks;
    std::string proc;
  } cases[] = {
      {"", -1, ""},
      {"\n\r\n  \t\n", 0, ""},
      {"erase 0 400000\nchkver /etc/version 1.0\nWRITE 0 0 b20001\n", 0, ""},
      {"write 0 20000 b20001\n", 2, ""},
      {"write 0 0 b20000\n", 1, ""},
      {"write 0 20000 empty\nwrite 0 20000 missing\n", 0, ""},
      {"writeoob 0 20000 o133119\n", 0, ""},
      {"writeoob 0 20000 o266240\n", 2, ""},
      {"dupoob 800000 100000 100000 200000\n", 8, ""},
      {"setenv 3c0000 20000 a 1\r\nsetenv 3c0000 20000 b 2\r\n", 2, ""},
      // No token-count test of the interpreter's kind.
      {"write 0 20000\n", 0, ""},
      {"setenv\n", 1, ""},
      {"dupoob 0 40000\n", 2, ""},
      {"dupoob 0\n", 0, ""},
      {"ifnpart\n", 0, ""},
      // The target length as an unsigned value: a negative one counts its high bits.
      {"dupoob 0 -20000 0 0\n", 0x7FFF, ""},
      {many, INT_MAX, ""},
      {"write 0 0 b20001\n\twrite 0 0 b20000\nwriteoob 0 0 o266240\nsetenv 0 0 a b\n", 2 + 1 + 2 + 1, ""},
      {one, 3, ""},
      {one, 0, kKernel},
      {chain, 4, ""},
      {chain, 1, kKernel},
      {chain, 1, "mtd6: 1 2 \"rootfs\"\n"},
  };
  ChildResult r = OnBoard([&](Board& b) -> int {
    b.put("b20001", std::string(0x20001, 'a'));
    b.put("b20000", std::string(0x20000, 'a'));
    b.put("empty", "");
    b.put("o133119", std::string(133119, 'a'));
    b.put("o266240", std::string(266240, 'a'));
    b.put("k.bin", std::string(0x50000, 'k'));
    for (const auto& c : cases) {
      b.kernel.set_file("/proc/mtd", kHead + c.proc);
      UpgradeScript s;
      s.m_sScriptDir = b.work;
      s.m_sScript = c.text;
      printf("%d\n", s.GetBlockNumToWrite());
    }
    // The count touches no flash.
    return b.chip.erases() + b.chip.programs() == 0 ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  std::istringstream got(r.out);
  for (const auto& c : cases) {
    std::string line;
    std::getline(got, line);
    EXPECT_EQ(std::to_string(c.blocks), line) << c.text.substr(0, 60) << " on " << c.proc;
  }
}

TEST(ScriptLoad, OnlyAWholeRegularScriptIsTakenAndCountAndRunLeaveItUnchanged) {
  ChildResult r = OnBoard([](Board& b) -> int {
    const std::string text = "setenv 0 20000 a b\nerase 20000 20000";
    b.put("fwupdate_1", text);
    b.program(0, oracle::EnvBlock({"a=c"}));
    // Cut at a NUL byte or at the reading limit, the last line would run as another one:
    // "erase 400000 20000" as "erase 400000 2", which erases to the end of the chip.
    const size_t limit = UpgradeScript::kScriptLimit;
    b.put("nul", std::string("erase 0 20000\0tail", 18));
    b.put("long", std::string(limit - 14, '\n') + "erase 400000 20000");
    b.put("full", std::string(limit - 18, '\n') + "erase 400000 20000");
    CHILD_CHECK_EQ(0, symlink("fwupdate_1", b.path("link").c_str()));
    CHILD_CHECK_EQ(0, mkfifo(b.path("fifo").c_str(), 0644));
    UpgradeScript s;
    CHILD_CHECK(s.m_sScript.empty());
    s.m_sScriptDir = b.work;
    CHILD_CHECK_EQ(0, s.LoadFile("fwupdate_1"));
    CHILD_CHECK_EQ(text, s.m_sScript);
    for (const char* refused : {"fwupdate_2", "nul", "long", "link", "fifo"}) {
      CHILD_CHECK_EQ(-1, s.LoadFile(refused));
      CHILD_CHECK_EQ(text, s.m_sScript);
    }
    for (int i = 0; i < 2; ++i) {
      b.chip.fill(0x20000, testboard::kEb, 0);
      CHILD_CHECK_EQ(1, s.GetBlockNumToWrite());
      CHILD_CHECK_EQ(0, s.Run());
      CHILD_CHECK_EQ(text, s.m_sScript);
      CHILD_CHECK(b.env_is(0, {"a=b"}) && b.chip.is_erased(0x20000, testboard::kEb));
    }
    CHILD_CHECK_EQ(4u, b.chip.erased_blocks.size());
    // A file given to the constructor is taken from the root, the directory being empty.
    UpgradeScript root(b.path("fwupdate_1").substr(1).c_str());
    CHILD_CHECK_EQ(text, root.m_sScript);
    // A script of exactly the limit is read whole.
    CHILD_CHECK_EQ(0, s.LoadFile("full"));
    CHILD_CHECK_EQ(limit, s.m_sScript.size());
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST(ScriptFlash, EraseCheckLooksAtTheFirst2048BytesWhateverThePageSize) {
  for (uint32_t page : {512u, 2048u, 4096u, 8192u}) {
    ChildResult r = OnBoard(
        [](Board& b) -> int {
          UpgradeScript s;
          // Blank first 2048 bytes pass, whatever follows in a larger page.
          b.chip.fill(0x40000 + 2048, testboard::kEb - 2048, 0x00);
          CHILD_CHECK_EQ(1, s.VerifyErase(0x40000, 0x20000));
          b.chip.fill(0x40000 + 2047, 1, 0xFE);
          CHILD_CHECK_EQ(0, s.VerifyErase(0x40000, 0x20000));
          return 0;
        },
        testboard::Geometry(page));
    EXPECT_EQ(0, r.status) << page << r.out << r.err;
  }
}
