// Script engine against a recording NAND stand-in: numbers, partition lookup, the write budget,
// the interpreter's dispatch, messages and stops, the version check with its event, and the
// arguments each flash command hands to the NAND operations.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "../support/child_check.h"
#include "private_ns.h"
#include "UpgradeScript.h"
#include "bench.h"
#include "child.h"
#include "fake_nand.h"

using bench::Board;
using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const char kProcHead[] = "dev:    size   erasesize  name\n";
const char kProcKernel[] = "mtd1: 00400000 00020000 \"kernel\"\n";
const char kProcEnv[] = "mtd4: 00020000 00020000 \"u-boot-env\"\n";

typedef std::function<int(Board&)> Hook;

// Runs text as the loaded script of /tmp/update in a private /tmp. The child's status is 0
// when Run returned 0, 255 when it returned -1, and 1 when a check of before/after failed.
ChildResult RunScript(const std::string& text, const Hook& before = nullptr,
                      const Hook& after = nullptr, const sim::Geometry& g = bench::Geometry()) {
  return RunIsolated([&]() -> int {
    Board b(g);
    fakenand::Reset(&b.chip);
    if (before && before(b) != 0) return 1;
    UpgradeScript s;
    s.m_sScriptDir = bench::kDir;
    s.m_sScript = text;
    int rc = s.Run();
    fflush(stdout);
    if (after && after(b) != 0) return 1;
    return rc & 0xFF;
  });
}

// Counts the budget of text with the files of before in place.
int Budget(const std::string& text, const Hook& before = nullptr) {
  ChildResult r = RunIsolated([&]() -> int {
    Board b;
    fakenand::Reset(&b.chip);
    if (before && before(b) != 0) return 254;
    UpgradeScript s;
    s.m_sScriptDir = bench::kDir;
    s.m_sScript = text;
    printf("%d", s.GetBlockNumToWrite());
    // The count touches no flash.
    return fakenand::ops.empty() && b.chip.erases() == 0 ? 0 : 253;
  });
  if (r.status != 0) return INT_MIN + r.status;
  return atoi(r.out.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Numbers

TEST(ScriptNumbers, HexRuleWithPrefixStopAndSaturation) {
  EXPECT_EQ(0, UpgradeScript::ParseHex(nullptr));
  EXPECT_EQ(0, UpgradeScript::ParseHex(""));
  EXPECT_EQ(0, UpgradeScript::ParseHex("zz"));
  EXPECT_EQ(0x20000, UpgradeScript::ParseHex("20000"));
  EXPECT_EQ(0x20000, UpgradeScript::ParseHex("0x20000"));
  EXPECT_EQ(0x20000, UpgradeScript::ParseHex("20000xyz"));
  EXPECT_EQ(0x100000, UpgradeScript::ParseHex("0X100000"));
  EXPECT_EQ(0x100000, UpgradeScript::ParseHex("100000h"));
  EXPECT_EQ(0xABCDEF, UpgradeScript::ParseHex("aBcDeF"));
  EXPECT_EQ(-0x20000, UpgradeScript::ParseHex("-20000"));
  EXPECT_EQ(0x7FFFFFFF, UpgradeScript::ParseHex("7fffffff"));
  // Beyond the signed 32-bit range on every platform, also where long has 64 bits.
  EXPECT_EQ(0x7FFFFFFF, UpgradeScript::ParseHex("80000000"));
  EXPECT_EQ(0x7FFFFFFF, UpgradeScript::ParseHex("ffffffff"));
  EXPECT_EQ(0x7FFFFFFF, UpgradeScript::ParseHex("fffffffffffffffffffff"));
  EXPECT_EQ(INT_MIN, UpgradeScript::ParseHex("-80000000"));
  EXPECT_EQ(INT_MIN, UpgradeScript::ParseHex("-ffffffff"));
}

// ---------------------------------------------------------------------------------------------
// Partition lookup

TEST(ScriptPartition, SubstringAndPatternMatchesLeaveTheLinesInResultFile) {
  ChildResult r = RunIsolated([]() -> int {
    Board b;
    b.kernel.set_file("/proc/mtd", std::string(kProcHead) + kProcKernel + kProcEnv +
                                       "mtd5: 00100000 00020000 \"rootfs2\"");  // no line end
    UpgradeScript s;
    s.m_sScriptDir = bench::kDir;
    const std::string result = std::string(bench::kDir) + "/result.txt";
    CHILD_CHECK_EQ(1, s.CheckPartition("kernel"));
    CHILD_CHECK_EQ(std::string(kProcKernel), bench::Get(result));
    CHILD_CHECK_EQ(1, s.CheckPartition("kern"));
    CHILD_CHECK_EQ(0, s.CheckPartition("rootfs1"));
    CHILD_CHECK_EQ(std::string(), bench::Get(result));
    CHILD_CHECK(bench::Exists(result));
    // A basic regular expression, as grep takes it; the last line counts without its end.
    CHILD_CHECK_EQ(1, s.CheckPartition("mtd[45]:"));
    CHILD_CHECK_EQ(std::string(kProcEnv) + "mtd5: 00100000 00020000 \"rootfs2\"\n",
                   bench::Get(result));
    CHILD_CHECK_EQ(1, s.CheckPartition("^mtd1.*kernel\"$"));
    CHILD_CHECK_EQ(0, s.CheckPartition("kernel\\+x"));
    CHILD_CHECK_EQ(1, s.CheckPartition("\"u-boot-env\""));
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST(ScriptPartition, NameNeverReachesAShell) {
  ChildResult r = RunIsolated([]() -> int {
    Board b;
    b.kernel.set_file("/proc/mtd", std::string(kProcHead) + kProcKernel);
    UpgradeScript s;
    s.m_sScriptDir = bench::kDir;
    CHILD_CHECK_EQ(0, s.CheckPartition("x\"; touch /tmp/pwned1; \""));
    CHILD_CHECK_EQ(0, s.CheckPartition("$(touch /tmp/pwned2)"));
    CHILD_CHECK_EQ(0, s.CheckPartition("`touch /tmp/pwned3`"));
    CHILD_CHECK_EQ(0, s.CheckPartition("x\" > /tmp/pwned4; echo \""));
    CHILD_CHECK(!bench::Exists("/tmp/pwned1") && !bench::Exists("/tmp/pwned2"));
    CHILD_CHECK(!bench::Exists("/tmp/pwned3") && !bench::Exists("/tmp/pwned4"));
    // Shell syntax is plain text of the pattern.
    b.kernel.set_file("/proc/mtd", std::string(kProcHead) + "mtd2: 1 2 \"$(a)\"\n");
    CHILD_CHECK_EQ(1, s.CheckPartition("$(a)"));
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST(ScriptPartition, MissingTableBrokenPatternAndPlantedLink) {
  ChildResult r = RunIsolated([]() -> int {
    Board b;
    b.kernel.no_proc_mtd();
    UpgradeScript s;
    s.m_sScriptDir = bench::kDir;
    const std::string result = std::string(bench::kDir) + "/result.txt";
    CHILD_CHECK_EQ(0, s.CheckPartition("nand0"));
    CHILD_CHECK(bench::Exists(result));
    b.kernel.set_file("/proc/mtd", std::string(kProcHead) + kProcKernel);
    CHILD_CHECK_EQ(0, s.CheckPartition("ker[nel"));
    // A result.txt that came as a link is replaced, its target left alone.
    bench::Put("/tmp/victim", "keep");
    unlink(result.c_str());
    CHILD_CHECK_EQ(0, symlink("/tmp/victim", result.c_str()));
    CHILD_CHECK_EQ(1, s.CheckPartition("kernel"));
    CHILD_CHECK_EQ(std::string("keep"), bench::Get("/tmp/victim"));
    CHILD_CHECK_EQ(std::string(kProcKernel), bench::Get(result));
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.err.find("ker[nel")) << r.err;
}

// ---------------------------------------------------------------------------------------------
// Write budget

TEST(ScriptBudget, CountsPerKeyword) {
  auto files = [](Board&) {
    bench::Put("/tmp/update/b20001", std::string(0x20001, 'a'));
    bench::Put("/tmp/update/b20000", std::string(0x20000, 'a'));
    bench::Put("/tmp/update/empty", "");
    bench::Put("/tmp/update/o133119", std::string(133119, 'a'));
    bench::Put("/tmp/update/o266240", std::string(266240, 'a'));
    return 0;
  };
  EXPECT_EQ(-1, Budget(""));
  EXPECT_EQ(0, Budget("\n\r\n  \t\n"));
  EXPECT_EQ(0, Budget("erase 0 400000\nchkver /etc/version 1.0\nWRITE 0 0 b20001\n", files));
  EXPECT_EQ(2, Budget("write 0 20000 b20001\n", files));
  EXPECT_EQ(1, Budget("write 0 0 b20000\n", files));
  EXPECT_EQ(0, Budget("write 0 20000 empty\nwrite 0 20000 missing\n", files));
  EXPECT_EQ(0, Budget("writeoob 0 20000 o133119\n", files));
  EXPECT_EQ(2, Budget("writeoob 0 20000 o266240\n", files));
  EXPECT_EQ(8, Budget("dupoob 800000 100000 100000 200000\n"));
  EXPECT_EQ(2, Budget("setenv 3c0000 20000 a 1\r\nsetenv 3c0000 20000 b 2\r\n"));
  // No token-count test of the interpreter's kind.
  EXPECT_EQ(0, Budget("write 0 20000\n", files));
  EXPECT_EQ(1, Budget("setenv\n"));
  EXPECT_EQ(2, Budget("dupoob 0 40000\n"));
  EXPECT_EQ(0, Budget("dupoob 0\n"));
  EXPECT_EQ(0, Budget("ifnpart\n"));
  // The target length as an unsigned value: a negative one counts its high bits.
  EXPECT_EQ(0x7FFF, Budget("dupoob 0 -20000 0 0\n"));
  // A sum beyond the int range stays at its top instead of wrapping.
  std::string many;
  for (int i = 0; i < 70000; ++i) many += "dupoob 0 -1\n";
  EXPECT_EQ(INT_MAX, Budget(many));
  EXPECT_EQ(2 + 1 + 2 + 1, Budget("write 0 0 b20001\n\twrite 0 0 b20000\nwriteoob 0 0 o266240\n"
                                  "setenv 0 0 a b\n",
                                  files));
}

TEST(ScriptBudget, ConditionalLinesCountOnlyWhenThePartitionIsUnknown) {
  auto with = [](const std::string& proc) {
    return [proc](Board& b) {
      b.kernel.set_file("/proc/mtd", std::string(kProcHead) + proc);
      bench::Put("/tmp/update/k.bin", std::string(0x50000, 'k'));
      return 0;
    };
  };
  const std::string one = "ifnpart kernel write 0 20000 k.bin\n";
  EXPECT_EQ(3, Budget(one, with("")));
  EXPECT_EQ(0, Budget(one, with(kProcKernel)));
  const std::string chain = "ifnpart rootfs ifnpart kernel write 0 20000 k.bin\nsetenv 0 0 a b\n";
  EXPECT_EQ(4, Budget(chain, with("")));
  EXPECT_EQ(1, Budget(chain, with(kProcKernel)));
  EXPECT_EQ(1, Budget(chain, with("mtd6: 1 2 \"rootfs\"\n")));
}

// ---------------------------------------------------------------------------------------------
// Interpreter: lines, tokens, messages

TEST(ScriptRun, EmptyTextDoesNothingAndBlankLinesFinish) {
  ChildResult r = RunScript("");
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);

  r = RunScript("\n\r\n \t \v\f\r\r\n\n", nullptr, [](Board&) {
    CHILD_CHECK(fakenand::ops.empty());
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST(ScriptRun, CrLfTabsAndBlankLinesRunLikePlainLines) {
  const std::string lf = "erase 0 40000\n\n   \nerase 100000 30000\n\t\terase\t200000 \t 10000  extra\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& text : {lf, crlf, std::string("erase 0 40000\rerase 100000 30000\r"
                                                      "\terase 200000 10000")}) {
    ChildResult r = RunScript(text, nullptr, [](Board&) {
      CHILD_CHECK_EQ(3u, fakenand::ops.size());
      CHILD_CHECK_EQ(std::string("/dev/mtd0"), fakenand::ops[0].device);
      CHILD_CHECK_EQ(0LL, fakenand::ops[0].start);
      CHILD_CHECK_EQ(2LL, fakenand::ops[0].length);
      CHILD_CHECK_EQ(0x100000LL, fakenand::ops[1].start);
      CHILD_CHECK_EQ(1LL, fakenand::ops[1].length);  // the partial block stays
      CHILD_CHECK_EQ(0x200000LL, fakenand::ops[2].start);
      CHILD_CHECK_EQ(0LL, fakenand::ops[2].length);  // below one block: to the end of the chip
      return 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("finish\n", r.out);
    EXPECT_EQ("", r.err);
  }
}

TEST(ScriptRun, UnknownAndIncompleteLinesAreReportedWholeAndSkipped) {
  const std::string text =
      "WRITE  0 \t 1 x\n"
      "finish\n"
      "# comment\n"
      "write 100000 20000\n"
      "writeoob 1 2\n"
      "dupoob 1 2 3\n"
      "erase 0\n"
      "setenv 3c0000 20000 image\n"
      "chkver /etc/version\n"
      "ifnpart\n"
      "erase 0 20000\n";
  ChildResult r = RunScript(text, nullptr, [](Board&) {
    CHILD_CHECK_EQ(std::string("erase"), fakenand::Trace());
    // ifnpart without a name looks nothing up.
    CHILD_CHECK(!bench::Exists("/tmp/update/result.txt"));
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ(
      "Unknown script command WRITE  0 \t 1 x\n"
      "Unknown script command finish\n"
      "Unknown script command # comment\n"
      "incomplete script command write 100000 20000\n"
      "incomplete script command writeoob 1 2\n"
      "incomplete script command dupoob 1 2 3\n"
      "incomplete script command erase 0\n"
      "incomplete script command setenv 3c0000 20000 image\n"
      "incomplete script command chkver /etc/version\n"
      "incomplete script command ifnpart\n",
      r.err);
}

TEST(ScriptRun, MissingImageFileIsReportedWithItsPathAndStopsTheRun) {
  ChildResult r = RunScript("write 100000 20000 missing.bin\nwriteoob 0 20000 sub/none\n"
                            "erase 0 20000\n",
                            nullptr, [](Board&) {
                              CHILD_CHECK_EQ(std::string(), fakenand::Trace());
                              return 0;
                            });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("finish\n", r.out);
  // A missing image stops the run: a later line must not switch to a slot left unwritten.
  EXPECT_EQ("/tmp/update/missing.bin doesn't exist\n", r.err);
}

TEST(ScriptRun, LongLinesAndLargeScriptsRunWhole) {
  // A number beyond the 255th character is still read, and nothing spills over.
  std::string wide = "erase" + std::string(300, ' ') + "100000\t" + std::string(200, '\t') +
                     "30000 " + std::string(1000, 'x') + "\n";
  std::string text = wide;
  for (int i = 0; i < 1500; ++i) text += "erase 0 20000   \n";
  text += "erase 20000 20000\n";
  ASSERT_GT(text.size(), 16384u + 10000u);
  ChildResult r = RunScript(text, nullptr, [](Board&) {
    CHILD_CHECK_EQ(1502u, fakenand::ops.size());
    CHILD_CHECK_EQ(0x100000LL, fakenand::ops.front().start);
    CHILD_CHECK_EQ(1LL, fakenand::ops.front().length);
    CHILD_CHECK_EQ(0x20000LL, fakenand::ops.back().start);
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST(ScriptRun, ConditionalLinesChainAndShowTheirJoinedForm) {
  auto proc = [](const std::string& lines) {
    return [lines](Board& b) {
      b.kernel.set_file("/proc/mtd", std::string(kProcHead) + lines);
      return 0;
    };
  };
  const std::string text = "ifnpart nosuchpart erase 0 20000\nX\n";
  ChildResult r = RunScript(text, proc(kProcKernel), [](Board&) {
    CHILD_CHECK_EQ(std::string("erase"), fakenand::Trace());
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Unknown script command X\n", r.err);

  r = RunScript(text, proc("mtd3: 1 2 \"nosuchpart\"\n"), [](Board&) {
    CHILD_CHECK(fakenand::ops.empty());
    return 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Unknown script command X\n", r.err);

  // Chains; the inserted line has single blanks; a bare condition inserts an empty line.
  const std::string chain =
      "ifnpart alpha ifnpart beta erase 0 20000\n"
      "ifnpart\tnone  \tBAD\t\t1   2\n"
      "ifnpart none\n"
      "ifnpart none write 1\n"
      "ifnpart none ifnpart kernel erase 40000 20000\n";
  r = RunScript(chain, proc(kProcKernel), [](Board&) {
    CHILD_CHECK_EQ(std::string("erase"), fakenand::Trace());
    CHILD_CHECK_EQ(0LL, fakenand::ops[0].start);
    return 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ("Unknown script command BAD 1 2\nincomplete script command write 1\n", r.err);

  r = RunScript(chain, proc("mtd7: 1 2 \"beta\"\n"), [](Board&) {
    CHILD_CHECK_EQ(std::string("erase"), fakenand::Trace());
    CHILD_CHECK_EQ(0x40000LL, fakenand::ops[0].start);
    return 0;
  });
  EXPECT_EQ(0, r.status);
}

// ---------------------------------------------------------------------------------------------
// Version check

namespace {

int gService = -1;

int BindService() {
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", "/tmp/ZQ_SYSTEMLOG");
  if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return -1;
  return fd;
}

std::string NextDatagram(int fd) {
  char buf[4096];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

std::string NextMessage(int q) {
  struct {
    long mtype;
    char mtext[4096];
  } m;
  ssize_t n = msgrcv(q, &m, sizeof m.mtext, 0, IPC_NOWAIT);
  return n < 0 ? std::string("<none>") : std::string(m.mtext, static_cast<size_t>(n));
}

// Runs "chkver /tmp/ver <required>" then an erase, with version text in /tmp/ver (none when
// null) and a service listening on both channels; reports what the service received.
ChildResult Chkver(const char* version, const std::string& required) {
  const std::string text = "chkver /tmp/ver " + required + "\nerase 0 20000\n";
  return RunScript(
      text,
      [version](Board&) {
        if (version) bench::Put("/tmp/ver", version);
        gService = BindService();
        CHILD_CHECK(gService >= 0);
        CHILD_CHECK(msgget(0x106, 0600 | IPC_CREAT) >= 0);
        return 0;
      },
      [](Board&) {
        // The datagram ends in its NUL, shown as \0.
        std::string d = NextDatagram(gService);
        if (!d.empty() && d.back() == '\0') d.replace(d.size() - 1, 1, "\\0");
        fprintf(stderr, "[dgram %s]", d.c_str());
        std::string m = NextMessage(msgget(0x106, 0));
        fprintf(stderr, "[msg %s]", m.substr(0, m.find("&time=")).c_str());
        fprintf(stderr, "[ops %s]", fakenand::Trace().c_str());
        return 0;
      });
}

}  // namespace

TEST(ScriptVersion, InstalledVersionAtLeastRequiredGoesOn) {
  for (const char* v : {"v1.2r7 build", "v1.2r0\tx\n", "v2.0r0 x", "v1.10r1 y", "v1.2r7word"}) {
    ChildResult r = Chkver(v, "1.2");
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << v;
    EXPECT_EQ("finish\n", r.out) << v;
    EXPECT_EQ("[dgram <none>][msg <none>][ops erase]", r.err) << v;
  }
  // A word far longer than any fixed buffer is only looked at, never copied past its end.
  ChildResult r = Chkver(("v3.0r1 " + std::string(5000, 'w')).c_str(), "1.2junk");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("[dgram <none>][msg <none>][ops erase]", r.err);
}

TEST(ScriptVersion, OlderVersionIsLoggedAndRefused) {
  for (const char* v : {"v1.1r9 build", "v0.9r1 x", "v1.1r99word"}) {
    ChildResult r = Chkver(v, "1.2");
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(255, r.status) << v;
    EXPECT_EQ("Check Version Error (v1.2 required), badimage\n", r.out) << v;
    EXPECT_EQ("[dgram action=insertlog&logid=108&desc=Firmware Update failed&note=v1.2 "
              "required&logtype=System\\0][msg event=addlog&id=108&desc=Firmware update "
              "failed&note=v1.2 required&type=System][ops ]",
              r.err)
        << v;
  }
}

TEST(ScriptVersion, UnreadableVersionIsRefusedWithoutEvent) {
  const char* cases[] = {nullptr, "", "v1.2r3", "v1.2r3 \n", "1.2r3 x", " v1.2r3 x", "v1.2 x"};
  for (const char* v : cases) {
    ChildResult r = Chkver(v, "1.2");
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(255, r.status) << (v ? v : "(none)");
    EXPECT_EQ("Check Version Error (v1.2 required), badimage\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find("[dgram <none>][msg <none>][ops ]")) << r.err;
  }
  // A FIFO in its place is not waited on for ever.
  ChildResult r = RunScript("chkver /tmp/ver 1.2\nerase 0 20000\n", [](Board&) {
    alarm(10);
    return mkfifo("/tmp/ver", 0644);
  });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Check Version Error (v1.2 required), badimage\n", r.out);
}

TEST(ScriptVersion, RequiredVersionWithoutTwoNumbersStopsTheRun) {
  ChildResult r = Chkver("v9.9r9 x", "1");
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ("incomplete script command chkver /tmp/ver 1, Abort\n[dgram <none>][msg <none>][ops ]",
            r.err);
}

// ---------------------------------------------------------------------------------------------
// Flash commands

TEST(ScriptFlash, EraseCheckLooksAtTheFirst2048BytesWhateverThePageSize) {
  for (uint32_t page : {512u, 2048u, 4096u, 8192u}) {
    ChildResult r = RunIsolated([page]() -> int {
      Board b(bench::Geometry(page));
      fakenand::Reset(&b.chip);
      UpgradeScript s;
      // Blank first 2048 bytes pass, whatever follows in a larger page.
      b.chip.fill(0x40000 + 2048, bench::kEb - 2048, 0x00);
      CHILD_CHECK_EQ(1, s.VerifyErase(0x40000, 0x20000));
      // One byte within the first 2048 that is not blank fails the check.
      b.chip.fill(0x40000 + 2047, 1, 0xFE);
      CHILD_CHECK_EQ(0, s.VerifyErase(0x40000, 0x20000));
      return 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << page << r.out << r.err;
  }
}

TEST(ScriptFlash, DupOobNeverWritesAStaleCopyNorFollowsAPlantedLink) {
  // The reader gives up before reading: an old tmp.yaffs must not go to flash.
  ChildResult r = RunScript(
      "dupoob 800000 20000 20000 200000\nerase 0 20000\n",
      [](Board&) {
        bench::Put("/tmp/update/tmp.yaffs", std::string(2080, 's'));
        fakenand::dump_result = -1;
        return 0;
      },
      [](Board& b) {
        CHILD_CHECK_EQ(std::string("dump_oob_file"), fakenand::Trace());
        CHILD_CHECK(b.chip.is_erased(0x800000, bench::kEb));
        return 0;
      });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("finish\n", r.out);
  EXPECT_NE(std::string::npos, r.err.find("nothing written")) << r.err;

  r = RunScript(
      "dupoob 800000 20000 800 200000\n",
      [](Board&) {
        bench::Put("/tmp/victim", "keep");
        CHILD_CHECK_EQ(0, symlink("/tmp/victim", "/tmp/update/tmp.yaffs"));
        return 0;
      },
      [](Board&) {
        CHILD_CHECK_EQ(std::string("keep"), bench::Get("/tmp/victim"));
        CHILD_CHECK_EQ(2080u, bench::Get("/tmp/update/tmp.yaffs").size());
        return 0;
      });
  EXPECT_EQ(0, r.status) << r.out;
}

TEST(ScriptFlash, SetEnvLeavesFlashAloneWhenTheBlockCannotBeReadOrSaved) {
  ChildResult r = RunScript(
      "setenv 3c0000 20000 image 2\nerase 0 20000\n",
      [](Board& b) {
        bench::Program(b.chip, 0x3C0000, bench::EnvBlock({"image=1", "a=b"}));
        b.kernel.fail_reads("/dev/mtd0", EIO);
        return 0;
      },
      [](Board& b) {
        CHILD_CHECK_EQ(std::string(), fakenand::Trace());
        CHILD_CHECK_EQ(std::string(),
                       bench::CheckEnv(bench::Read(b.chip, 0x3C0000, bench::kEnvSize),
                                       {"image=1", "a=b"}));
        return 0;
      });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("finish\n", r.out);
  EXPECT_NE(std::string::npos, r.err.find("setenv 3c0000 20000 image 2: boot environment at 0x3c0000 cannot be read, left unchanged\n"))
      << r.err;

  // An environment too full for its block is not written either.
  const std::string big(0x1FFFC - 20, 'v');
  r = RunScript(
      "setenv 3c0000 20000 more " + std::string(100, 'm') + "\n",
      [&](Board& b) {
        bench::Program(b.chip, 0x3C0000, bench::EnvBlock({"a=" + big}));
        return 0;
      },
      [](Board&) {
        CHILD_CHECK(fakenand::ops.empty());
        return 0;
      });
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("finish\n", r.out);
  EXPECT_NE(std::string::npos, r.err.find("left unchanged")) << r.err;
}

TEST(ScriptLoad, OnlyAWholeRegularScriptIsTakenAndCountAndRunLeaveItUnchanged) {
  ChildResult r = RunIsolated([]() -> int {
    Board b;
    fakenand::Reset(&b.chip);
    const std::string text = "setenv 0 20000 a b\nerase 20000 20000";
    bench::Put("/tmp/update/fwupdate_1", text);
    bench::Program(b.chip, 0, bench::EnvBlock({"a=c"}));
    // Cut at a NUL byte or at the reading limit, the last line would run as another one:
    // "erase 400000 20000" as "erase 400000 2", which erases to the end of the chip.
    const size_t limit = UpgradeScript::kScriptLimit;
    bench::Put("/tmp/update/nul", std::string("erase 0 20000\0tail", 18));
    bench::Put("/tmp/update/long", std::string(limit - 14, '\n') + "erase 400000 20000");
    bench::Put("/tmp/update/full", std::string(limit - 18, '\n') + "erase 400000 20000");
    CHILD_CHECK_EQ(0, symlink("fwupdate_1", "/tmp/update/link"));
    CHILD_CHECK_EQ(0, mkfifo("/tmp/update/fifo", 0644));
    UpgradeScript s;
    CHILD_CHECK(s.m_sScript.empty());
    s.m_sScriptDir = bench::kDir;
    CHILD_CHECK_EQ(0, s.LoadFile("fwupdate_1"));
    CHILD_CHECK_EQ(text, s.m_sScript);
    for (const char* refused : {"fwupdate_2", "nul", "long", "link", "fifo"}) {
      CHILD_CHECK_EQ(-1, s.LoadFile(refused));
      CHILD_CHECK_EQ(text, s.m_sScript);
    }
    CHILD_CHECK_EQ(1, s.GetBlockNumToWrite());
    CHILD_CHECK_EQ(0, s.Run());
    CHILD_CHECK_EQ(text, s.m_sScript);
    CHILD_CHECK_EQ(1, s.GetBlockNumToWrite());
    CHILD_CHECK_EQ(0, s.Run());
    CHILD_CHECK_EQ(std::string("erase write_mem erase erase write_mem erase"), fakenand::Trace());
    // A file given to the constructor is taken from the root, the directory being empty.
    UpgradeScript root("tmp/update/fwupdate_1");
    CHILD_CHECK_EQ(text, root.m_sScript);
    // A script of exactly the limit is read whole.
    CHILD_CHECK_EQ(0, s.LoadFile("full"));
    CHILD_CHECK_EQ(limit, s.m_sScript.size());
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out << r.err;
}
