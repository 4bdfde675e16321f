// Whole updates on a simulated board, each in a forked child (the NAND operations may end the
// process); then the script engine's rules the campaign does not judge, and the environment block.
#include <limits.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/child_check.h"
#include "EnvUtil.h"
#include "UpgradeScript.h"
#include "board.h"
#include "flash_oracle.h"
#include "kernel.h"
#include "nand_ops.h"
#include "sim_kernel.h"

using testboard::Board;
using testboard::kEb;
using testboard::kEnvAt;
using testboard::OnBoard;
using testboard::Pattern;
using testutil::ChildResult;

namespace {

const char kHead[] = "Checking fwupdate_1 \nTotal Block to Write = ";
const char kProcHead[] = "dev:    size   erasesize  name\n";
const char kKernel[] = "mtd1: 00400000 00020000 \"kernel\"\n";
const char kEnv[] = "mtd4: 00020000 00020000 \"u-boot-env\"\n";

typedef std::function<int(Board&)> Hook;
typedef std::vector<std::pair<std::string, std::string>> Files;

// The board: partitions as the kernel lists them, the environment block behind /dev/mtdblock4
// (none when env is empty), the files of the package; then fwapply on the package.
ChildResult Update(const std::vector<std::string>& env, const Files& files, const Hook& before = nullptr,
                   const Hook& after = nullptr, const sim::Geometry& g = testboard::Geometry()) {
  return testboard::OnBoard(
      [&](Board& b) -> int {
        b.kernel.add_mtd(1, &b.chip, "u-boot", 0, 0x200000);
        b.kernel.add_mtd(2, &b.chip, "kernel", 0x200000, 0x1C0000);
        b.kernel.add_mtd(4, &b.chip, "u-boot-env", kEnvAt, testboard::kEnvSize);
        if (!env.empty()) b.add_env(env);
        for (const auto& f : files) b.put(f.first, f.second);
        if (chdir(b.work.c_str()) != 0) return 1;  // where a relative chkver file is looked up
        if (before && before(b) != 0) return 1;
        const int rc = testboard::Apply(b);
        if (after && after(b) != 0) return 1;
        return rc;
      },
      g);
}

std::string BlockLines(std::vector<unsigned> blocks) {
  std::string out;
  for (unsigned block : blocks) {
    char line[96];
    snprintf(line, sizeof line, "Writing data to block %u at offset 0x%x\n", block, block * kEb);
    out += line;
  }
  return out;
}

// The blocks erased, in order, a rising run as "first-last".
std::string Erased(const Board& b) {
  std::string s;
  const std::vector<uint32_t>& e = b.chip.erased_blocks;
  for (size_t i = 0; i < e.size(); ++i) {
    size_t j = i;
    while (j + 1 < e.size() && e[j + 1] == e[j] + 1) ++j;
    s += (s.empty() ? "" : " ") + std::to_string(e[i]) + (j > i ? "-" + std::to_string(e[j]) : "");
    i = j;
  }
  return s;
}

// The erase, every flash line's first, notes what stdout still held unflushed; syncs are counted.
nand_ops g_spy;
kernel_ops g_kernel_spy;
size_t g_pending = ~size_t(0);
int g_syncs = 0;
int Spy(Board&) {
  static const kernel_ops* kernel = kernel_install(&g_kernel_spy);
  g_kernel_spy = *kernel;
  g_kernel_spy.sync = [] { ++g_syncs, kernel->sync(); };
  static const nand_ops* real = nand_install(&g_spy);
  g_spy = *real;
  g_spy.erase = [](const char* d, int s, int c) {
    if (g_pending == ~size_t(0)) g_pending = __fpending(stdout);
    return real->erase(d, s, c);
  };
  return 0;
}

}  // namespace

// The budget line matches the block lines whatever the page size; it is out before the first
// flash operation, and the flash is synced once before "finish".
TEST(WholeUpdate, BudgetBlocksAndEnvironmentOfAnUpdate) {
  const struct {
    uint32_t page;
    std::string script;
    size_t size;  // of the image written at 0x200000
    std::string out, erased, image;
  } cases[] = {
      {2048, "write 200000 1c0000 k.bin\nsetenv 3c0000 20000 image 2\n", 2 * kEb + 5 * 2048 + 100,
       "4\n" + BlockLines({16, 17, 18, 30}), "16-30", "image=2"},
      // Pages larger than the bytes the erase check looks at.
      {8192, "write 200000 40000 k.bin\n", kEb + 3 * 8192, "2\n" + BlockLines({16, 17}), "16-17", "image=1"},
  };
  for (const auto& c : cases) {
    const std::string image = Pattern(c.size, c.page);
    ChildResult r = Update(
        {"bootdelay=1", "image=1", "opaque"}, {{"fwupdate_1", c.script}, {"k.bin", image}},
        [](Board& b) {
          b.chip.fill(0x200000, 0x1C0000, 0x5A);  // an old image, to be erased first
          return Spy(b);
        },
        [&](Board& b) {
          CHILD_CHECK(b.read(0x200000, c.size) == image);
          CHILD_CHECK_EQ(c.erased, Erased(b));
          CHILD_CHECK_EQ(0u, static_cast<unsigned>(b.chip.violations()));
          CHILD_CHECK(b.env_is(kEnvAt, {"bootdelay=1", c.image, "opaque"}));
          CHILD_CHECK_EQ(0u, static_cast<unsigned>(g_pending));
          CHILD_CHECK_EQ(1, g_syncs);
          return 0;
        },
        testboard::Geometry(c.page));
    EXPECT_EQ(0, r.status) << c.script << r.out << r.err;
    EXPECT_EQ(kHead + c.out + "finish\n", r.out);
    EXPECT_EQ("", r.err);
  }
}

// The slot the boot environment names picks the script; a package without it, or with a script
// that cannot be read whole, stops before any flash access.
TEST(WholeUpdate, DriverPicksTheSlotScriptOrStops) {
  const std::string noenv = "cannot find image environment variable, abort\n";
  const std::string erase = "erase 0 20000\n", refused = "fail to open fwupdate_1, badimage, abort\n";
  const std::string check = "Checking fwupdate_1 \n";
  // Cut at the reading limit, the last line would run as "erase 400000 2": to the chip's end.
  const std::string cut = std::string(UpgradeScript::kScriptLimit - 14, '\n') + "erase 400000 20000";
  const struct {
    std::vector<std::string> env;
    Files files;
    int status;
    std::string out;
  } cases[] = {
      {{"bootdelay=1", "image=3"}, {{"fwupdate_1", "WRONG\n"}, {"fwupdate_3", erase}}, 0, "fwupdate_3"},
      {{"bootdelay=1", "images=1", "image"}, {{"fwupdate_1", erase}, {"fwupdate_0", erase}}, 255, noenv},
      {{}, {{"fwupdate_1", erase}}, 255, noenv},
      {{"image=1"}, {{"fwupdate_2", erase}}, 255, check + "fwupdate_1 is not found in image\n" + refused},
      {{"image=1"}, {{"fwupdate_1", cut}}, 255, check + refused},
      {{"image=1"}, {{"fwupdate_1", erase + std::string(1, '\0') + erase}}, 255, check + refused},
      {{"image=1"}, {{"fwupdate_1", ""}}, 0, check + "Total Block to Write = -1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files.back().first + " " + (c.env.empty() ? "no device" : c.env.back()));
    ChildResult r = Update(c.env, c.files, nullptr, [](Board& b) {
      printf("[%s]", Erased(b).c_str());
      return 0;
    });
    EXPECT_EQ(c.status, r.status);
    const std::string ran = "Checking " + c.out + " \nTotal Block to Write = 0\nfinish\n[0]";
    EXPECT_EQ(c.out.find(' ') == std::string::npos ? ran : c.out + "[]", r.out);
    EXPECT_EQ("", r.err);
  }
}

// Line ends, blanks, unknown and short lines (reported whole and skipped); a missing image or one
// from outside the package stops the run: a later line must not switch to a slot left unwritten.
TEST(WholeUpdate, LinesAreCutReadAndReported) {
  const std::string lf = "erase 0 40000\r\n\n   \rerase 100000 30000\n\t\terase\t200000 \t 10000  extra";
  const std::string kProc = kProcHead + std::string(kKernel);
  const struct {
    std::string script, proc, erased, err;
  } cases[] = {
      {lf, kProc, "0-1 8 16-127", ""},
      {"WRITE  0 \t 1 x\ndupoob 1 2 3\nifnpart\nerase 0 20000\n", kProc, "0",
       "Unknown script command WRITE  0 \t 1 x\nincomplete script command dupoob 1 2 3\n"
       "incomplete script command ifnpart\n"},
      {"write 100000 20000 missing.bin\nwriteoob 0 20000 sub/none\nerase 0 20000\n", kProc, "",
       "<board>/update/missing.bin doesn't exist\n"},
      {"write 200000 20000 ../outside.bin\nerase 0 20000\n", kProc, "",
       "write 200000 20000 ../outside.bin: <board>/update/../outside.bin is outside the package\n"},
      {"write 200000 20000 ext/k.bin\nerase 0 20000\n", kProc, "",
       "write 200000 20000 ext/k.bin: <board>/update/ext/k.bin cannot be opened: Not a directory\n"},
      {"dupoob 440000 20000 800 200000\n", kProc, "34", ""},  // its copy not through a planted link
      // A version word longer than any fixed buffer is only looked at; a FIFO is not waited on.
      {"chkver ver 1.2junk\nerase 0 20000\n", kProc, "0", ""},
      {"chkver fifo 1.2\nerase 0 20000\n", kProc, "", ""},
      {"chkver ver 1\nerase 0 20000\n", kProc, "", "incomplete script command chkver ver 1, Abort\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script.substr(0, 60));
    ChildResult r = Update(
        {"image=1"}, {{"fwupdate_1", c.script}},
        [&](Board& b) {
          b.kernel.set_file("/proc/mtd", c.proc);
          mkdir((b.root + "/ext").c_str(), 0755);
          testutil::WriteAll(b.root + "/ext/k.bin", "k");
          testutil::WriteAll(b.root + "/outside.bin", "o");
          b.put("ver", "v3.0r1 " + std::string(5000, 'w'));
          alarm(10);
          mkfifo("fifo", 0644);
          symlink((b.root + "/outside.bin").c_str(), b.path("tmp.yaffs").c_str());
          return symlink((b.root + "/ext").c_str(), b.path("ext").c_str());
        },
        [&](Board& b) {
          CHILD_CHECK_EQ(c.erased, Erased(b));
          CHILD_CHECK_EQ(std::string("o"), testutil::ReadAll(b.root + "/outside.bin"));
          return 0;
        });
    EXPECT_EQ(0, r.status) << r.out;
    // Nothing erased and nothing reported: the FIFO's refusal.
    const std::string end = c.erased.empty() && c.err.empty() ? "badimage\n" : "finish\n";
    EXPECT_EQ(end, r.out.substr(r.out.size() - end.size())) << r.out;
    EXPECT_EQ(c.err, r.err);
  }
}

// Beyond the signed 32-bit range a number saturates on every platform, also where long has 64 bits.
TEST(ScriptNumbers, HexRuleWithPrefixAndSaturation) {
  EXPECT_EQ(0, UpgradeScript::ParseHex(nullptr));
  EXPECT_EQ(0xABCDEF, UpgradeScript::ParseHex("0XaBcDeF"));
  EXPECT_EQ(INT_MAX, UpgradeScript::ParseHex("fffffffffffffffffffff"));
  EXPECT_EQ(INT_MIN, UpgradeScript::ParseHex("-ffffffff"));
}

// The matching lines of /proc/mtd are left in result.txt, as grep left them.
TEST(ScriptPartition, PatternsMatchAsGrepTakesThem) {
  ChildResult r = OnBoard([](Board& b) -> int {
    const std::string last = "mtd5: 00100000 00020000 \"rootfs2\"";  // no line end
    b.kernel.set_file("/proc/mtd", kProcHead + std::string(kKernel) + kEnv + last);
    UpgradeScript s;
    s.m_sScriptDir = b.work;
    CHILD_CHECK_EQ(1, s.CheckPartition("mtd[45]:"));
    CHILD_CHECK_EQ(kEnv + last + "\n", b.get("result.txt"));
    CHILD_CHECK_EQ(0, s.CheckPartition("ker(nel)"));  // basic, as grep's: "(" is a character
    CHILD_CHECK_EQ(0, s.CheckPartition("rootfs1"));
    CHILD_CHECK_EQ(std::string(), b.get("result.txt"));
    CHILD_CHECK_EQ(0, s.CheckPartition("ker[nel"));
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.err.find("ker[nel")) << r.err;
}

TEST(ScriptBudget, CountsPerKeywordAndConditionsOnlyForUnknownPartitions) {
  std::string many;  // a sum beyond the int range stays at its top instead of wrapping
  for (int i = 0; i < 70000; ++i) many += "dupoob 0 -1\n";
  const std::string chain = "ifnpart rootfs ifnpart kernel write 0 20000 k.bin\nsetenv 0 0 a b\n";
  const struct {
    std::string text;
    int blocks;
    std::string proc;
  } cases[] = {
      {"\n\r\n  \t\nerase 0 400000\nchkver /etc/version 1.0\nWRITE 0 0 b20001\n", 0, ""},
      {"write 0 20000 b20001\n\twrite 0 0 b20000\n", 3, ""},
      {many, INT_MAX, ""},
      {chain, 4, ""},
      {chain, 1, kKernel},
  };
  ChildResult r = OnBoard([&](Board& b) -> int {
    b.put("b20001", std::string(0x20001, 'a'));
    b.put("b20000", std::string(0x20000, 'a'));
    b.put("k.bin", std::string(0x50000, 'k'));
    for (const auto& c : cases) {
      b.kernel.set_file("/proc/mtd", kProcHead + c.proc);
      UpgradeScript s;
      s.m_sScriptDir = b.work;
      s.m_sScript = c.text;
      printf("%d\n", s.GetBlockNumToWrite());
    }
    return b.chip.erases() + b.chip.programs() == 0 ? 0 : 1;  // the count touches no flash
  });
  EXPECT_EQ(0, r.status);
  std::istringstream got(r.out);
  for (const auto& c : cases) {
    std::string line;
    std::getline(got, line);
    EXPECT_EQ(std::to_string(c.blocks), line) << c.text.substr(0, 60) << " on " << c.proc;
  }
}

// The block as the boot loader reads it: entries up to the first empty string, "key=value" and
// only those, the first of a key winning; a change replaces that entry in place or appends one,
// and a list that does not fit is refused with the output left as it was.
TEST(EnvUtilBlock, ParseLookupAndChange) {
  const unsigned int S = EnvUtil::kBlockSize, D = S - 4;
  typedef std::vector<std::string> Entries;
  Entries list = {"image=1",   "empty=", "opaque", "n1=12abc", "dup=first", "args=console=ttyS0 root=2",
                  "dup=second"};
  const std::string block = oracle::EnvBlock(list, S), fits(D - 4, 'v');  // fits: "k=" + value + 2 NULs = D
  Entries image2 = list, dup_new = list;
  image2[0] = "image=2", dup_new[4] = "dup=new";
  std::string unended = oracle::EnvBlock({"a=1"}, S), empty = oracle::EnvBlock({}, S);
  memset(&unended[4 + 4], 'x', D - 4);  // a last string without its NUL is no entry
  empty[5] = 'z';                       // behind the closing empty string: not an entry
  const struct {
    std::string bytes;
    const char* key;
    int has, number;
    const char* value;
    std::string set;  // "": no change
    Entries saved;    // {"-"}: refused
  } cases[] = {
      {block, "image", 1, 1, "1", "2", image2},
      {block, "empty", 1, 0, nullptr, "", {}},
      {block, "opaque", 0, 0, nullptr, "", {}},  // an entry without "=" never matches
      {block, "n1", 1, 12, "12abc", "", {}},
      {block, "args", 1, 0, "console=ttyS0 root=2", "", {}},
      {block, "dup", 1, 0, "first", "new", dup_new},
      {unended, "a", 1, 1, "1", "2", {"a=2"}},
      {empty, "z", 0, 0, nullptr, "2", {"z=2"}},
      // A device shorter than the block.
      {oracle::EnvBlock({"a=1", "b=2"}, S).substr(0, 64), "b", 1, 2, "2", "3", {"a=1", "b=3"}},
      {empty, "k", 0, 0, nullptr, fits, {"k=" + fits}},
      {empty, "k", 0, 0, nullptr, fits + "v", {"-"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    sim::Chip chip;
    sim::Kernel k;
    memcpy(chip.data(0x3C0000), c.bytes.data(), c.bytes.size());
    k.add_block("/dev/mtdblock4", &chip, 0x3C0000, static_cast<unsigned int>(c.bytes.size()));
    EnvUtil env("/dev/mtdblock4", S);
    EXPECT_TRUE(env.IsLoaded());
    EXPECT_EQ(c.has, env.HasKey(c.key));
    EXPECT_EQ(c.number, env.GetIntValue(c.key));
    const char* value = env.GetKeyValue(c.key);
    EXPECT_EQ(std::string(c.value ? c.value : "(null)"), value ? value : "(null)");
    if (c.set.empty()) continue;
    env.SetKeyValue(c.key, c.set.c_str());
    std::string out(S, '\x5a');
    const bool refused = c.saved == Entries{"-"};
    EXPECT_EQ(refused ? -1 : 0, env.SaveMemory(&out[0]));
    EXPECT_TRUE(out == (refused ? std::string(S, '\x5a') : oracle::EnvBlock(c.saved, S)));
  }
}
