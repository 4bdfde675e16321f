// Script engine against a recording NAND stand-in: numbers, partition lookup, the write budget,
// the interpreter's dispatch, messages and stops, the version check with its event, and the
// arguments each flash command hands to the NAND operations.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "../support/child_check.h"
#include "UpgradeScript.h"
#include "board.h"
#include "fake_nand.h"
#include "flash_oracle.h"

using testboard::Board;
using testboard::Exists;
using testboard::OnBoard;
using testutil::ChildResult;

namespace {

const char kProcHead[] = "dev:    size   erasesize  name\n";
const char kProcKernel[] = "mtd1: 00400000 00020000 \"kernel\"\n";
const char kProcEnv[] = "mtd4: 00020000 00020000 \"u-boot-env\"\n";

typedef std::function<int(Board&)> Hook;

Hook Proc(const std::string& lines) {
  return [lines](Board& b) {
    b.kernel.set_file("/proc/mtd", kProcHead + lines);
    return 0;
  };
}

// Runs text as the loaded script of the working directory. The child's status is 0 when Run
// returned 0, 255 when it returned -1, and 1 when a check of before/after failed.
ChildResult RunScript(const std::string& text, const Hook& before = nullptr, const Hook& after = nullptr) {
  return OnBoard([&](Board& b) -> int {
    fakenand::Reset(&b.chip);
    if (before && before(b) != 0) return 1;
    UpgradeScript s;
    s.m_sScriptDir = b.work;
    s.m_sScript = text;
    int rc = s.Run();
    fflush(stdout);
    if (after && after(b) != 0) return 1;
    return rc & 0xFF;
  });
}

// Ends a RunScript check: the stand-in saw exactly these operations.
Hook Ops(const std::string& trace) {
  return [trace](Board&) {
    CHILD_CHECK_EQ(trace, fakenand::Trace());
    return 0;
  };
}

// The budget of text with the files of before in place.
int Budget(const std::string& text, const Hook& before = nullptr) {
  ChildResult r = OnBoard([&](Board& b) -> int {
    fakenand::Reset(&b.chip);
    if (before && before(b) != 0) return 254;
    UpgradeScript s;
    s.m_sScriptDir = b.work;
    s.m_sScript = text;
    printf("%d", s.GetBlockNumToWrite());
    // The count touches no flash.
    return fakenand::ops.empty() && b.chip.erases() == 0 ? 0 : 253;
  });
  return r.status != 0 ? INT_MIN + r.status : atoi(r.out.c_str());
}

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

TEST(ScriptPartition, PatternsMatchAsGrepTakesThemAndNeverReachAShell) {
  ChildResult r = OnBoard([](Board& b) -> int {
    b.kernel.set_file("/proc/mtd", std::string(kProcHead) + kProcKernel + kProcEnv +
                                       "mtd5: 00100000 00020000 \"rootfs2\"");  // no line end
    UpgradeScript s;
    s.m_sScriptDir = b.work;
    CHILD_CHECK_EQ(1, s.CheckPartition("kernel"));
    CHILD_CHECK_EQ(std::string(kProcKernel), b.get("result.txt"));
    CHILD_CHECK_EQ(1, s.CheckPartition("kern"));
    CHILD_CHECK_EQ(0, s.CheckPartition("rootfs1"));
    CHILD_CHECK_EQ(std::string(), b.get("result.txt"));
    CHILD_CHECK(Exists(b.path("result.txt")));
    // A basic regular expression; the last line counts without its end.
    CHILD_CHECK_EQ(1, s.CheckPartition("mtd[45]:"));
    CHILD_CHECK_EQ(std::string(kProcEnv) + "mtd5: 00100000 00020000 \"rootfs2\"\n", b.get("result.txt"));
    CHILD_CHECK_EQ(1, s.CheckPartition("^mtd1.*kernel\"$"));
    CHILD_CHECK_EQ(0, s.CheckPartition("kernel\\+x"));
    CHILD_CHECK_EQ(1, s.CheckPartition("\"u-boot-env\""));
    const std::string p = b.root + "/pwned";
    for (const std::string& name : {"x\"; touch " + p + "; \"", "$(touch " + p + ")", "`touch " + p + "`",
                                    "x\" > " + p + "; echo \""}) {
      CHILD_CHECK_EQ(0, s.CheckPartition(name.c_str()));
      CHILD_CHECK(!Exists(p));
    }
    b.kernel.set_file("/proc/mtd", std::string(kProcHead) + "mtd2: 1 2 \"$(a)\"\n");
    CHILD_CHECK_EQ(1, s.CheckPartition("$(a)"));
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST(ScriptPartition, MissingTableBrokenPatternAndPlantedLink) {
  ChildResult r = OnBoard([](Board& b) -> int {
    b.kernel.no_proc_mtd();
    UpgradeScript s;
    s.m_sScriptDir = b.work;
    CHILD_CHECK_EQ(0, s.CheckPartition("nand0"));
    CHILD_CHECK(Exists(b.path("result.txt")));
    b.kernel.set_file("/proc/mtd", std::string(kProcHead) + kProcKernel);
    CHILD_CHECK_EQ(0, s.CheckPartition("ker[nel"));
    // A result.txt that came as a link is replaced, its target left alone.
    const std::string victim = b.root + "/victim";
    testutil::WriteAll(victim, "keep");
    unlink(b.path("result.txt").c_str());
    CHILD_CHECK_EQ(0, symlink(victim.c_str(), b.path("result.txt").c_str()));
    CHILD_CHECK_EQ(1, s.CheckPartition("kernel"));
    CHILD_CHECK_EQ(std::string("keep"), testutil::ReadAll(victim));
    CHILD_CHECK_EQ(std::string(kProcKernel), b.get("result.txt"));
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.err.find("ker[nel")) << r.err;
}

TEST(ScriptBudget, CountsPerKeyword) {
  auto files = [](Board& b) {
    b.put("b20001", std::string(0x20001, 'a'));
    b.put("b20000", std::string(0x20000, 'a'));
    b.put("empty", "");
    b.put("o133119", std::string(133119, 'a'));
    b.put("o266240", std::string(266240, 'a'));
    return 0;
  };
  std::string many;  // a sum beyond the int range stays at its top instead of wrapping
  for (int i = 0; i < 70000; ++i) many += "dupoob 0 -1\n";
  const struct {
    std::string text;
    int blocks;
  } cases[] = {
      {"", -1},
      {"\n\r\n  \t\n", 0},
      {"erase 0 400000\nchkver /etc/version 1.0\nWRITE 0 0 b20001\n", 0},
      {"write 0 20000 b20001\n", 2},
      {"write 0 0 b20000\n", 1},
      {"write 0 20000 empty\nwrite 0 20000 missing\n", 0},
      {"writeoob 0 20000 o133119\n", 0},
      {"writeoob 0 20000 o266240\n", 2},
      {"dupoob 800000 100000 100000 200000\n", 8},
      {"setenv 3c0000 20000 a 1\r\nsetenv 3c0000 20000 b 2\r\n", 2},
      // No token-count test of the interpreter's kind.
      {"write 0 20000\n", 0},
      {"setenv\n", 1},
      {"dupoob 0 40000\n", 2},
      {"dupoob 0\n", 0},
      {"ifnpart\n", 0},
      // The target length as an unsigned value: a negative one counts its high bits.
      {"dupoob 0 -20000 0 0\n", 0x7FFF},
      {many, INT_MAX},
      {"write 0 0 b20001\n\twrite 0 0 b20000\nwriteoob 0 0 o266240\nsetenv 0 0 a b\n", 2 + 1 + 2 + 1},
  };
  for (const auto& c : cases) EXPECT_EQ(c.blocks, Budget(c.text, files)) << c.text.substr(0, 60);
}

TEST(ScriptBudget, ConditionalLinesCountOnlyWhenThePartitionIsUnknown) {
  auto with = [](const std::string& proc) {
    return [proc](Board& b) {
      b.put("k.bin", std::string(0x50000, 'k'));
      return Proc(proc)(b);
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

TEST(ScriptRun, EmptyTextDoesNothingAndBlankLinesFinish) {
  ChildResult r = RunScript("");
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("", r.out + r.err);
  r = RunScript("\n\r\n \t \v\f\r\r\n\n", nullptr, Ops(""));
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST(ScriptRun, LineEndsBlanksAndLongLinesRunLikePlainLines) {
  const std::string lf = "erase 0 40000\n\n   \nerase 100000 30000\n\t\terase\t200000 \t 10000  extra\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  // A number beyond the 255th character is still read, and nothing spills over.
  std::string wide = "erase 0 40000\nerase" + std::string(300, ' ') + "100000\t" + std::string(200, '\t') +
                     "30000 " + std::string(1000, 'x') + "\n";
  for (int i = 0; i < 1500; ++i) wide += "\n";
  wide += "erase 200000 10000\n";
  for (const std::string& text :
       {lf, crlf, std::string("erase 0 40000\rerase 100000 30000\r\terase 200000 10000"), wide}) {
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
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("finish\n", r.out);
    EXPECT_EQ("", r.err);
  }
  // A script far beyond any line buffer runs whole.
  std::string large;
  for (int i = 0; i < 1600; ++i) large += "erase 0 20000   \n";
  ChildResult r = RunScript(large + "erase 20000 20000\n", nullptr, [](Board&) {
    CHILD_CHECK_EQ(1601u, fakenand::ops.size());
    CHILD_CHECK_EQ(0x20000LL, fakenand::ops.back().start);
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out;
}

TEST(ScriptRun, UnknownAndIncompleteLinesAreReportedWholeAndSkipped) {
  const std::string text =
      "WRITE  0 \t 1 x\nfinish\n# comment\nwrite 100000 20000\nwriteoob 1 2\ndupoob 1 2 3\nerase 0\n"
      "setenv 3c0000 20000 image\nchkver /etc/version\nifnpart\nerase 0 20000\n";
  ChildResult r = RunScript(text, nullptr, [](Board& b) {
    CHILD_CHECK_EQ(std::string("erase"), fakenand::Trace());
    CHILD_CHECK(!Exists(b.path("result.txt")));  // ifnpart without a name looks nothing up
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ(
      "Unknown script command WRITE  0 \t 1 x\nUnknown script command finish\nUnknown script command # "
      "comment\n"
      "incomplete script command write 100000 20000\nincomplete script command writeoob 1 2\n"
      "incomplete script command dupoob 1 2 3\nincomplete script command erase 0\n"
      "incomplete script command setenv 3c0000 20000 image\nincomplete script command chkver /etc/version\n"
      "incomplete script command ifnpart\n",
      r.err);
  // A missing image stops the run: a later line must not switch to a slot left unwritten.
  r = RunScript("write 100000 20000 missing.bin\nwriteoob 0 20000 sub/none\nerase 0 20000\n", nullptr,
                Ops(""));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ("<board>/update/missing.bin doesn't exist\n", r.err);
}

TEST(ScriptRun, ConditionalLinesChainAndShowTheirJoinedForm) {
  const struct {
    std::string script, proc, trace;
    long long start;
    std::string err;
  } cases[] = {
      {"ifnpart nosuchpart erase 0 20000\nX\n", kProcKernel, "erase", 0, "Unknown script command X\n"},
      {"ifnpart nosuchpart erase 0 20000\nX\n", "mtd3: 1 2 \"nosuchpart\"\n", "", 0,
       "Unknown script command X\n"},
      // Chains; the inserted line has single blanks; a bare condition inserts an empty line.
      {"ifnpart alpha ifnpart beta erase 0 20000\nifnpart\tnone  \tBAD\t\t1   2\nifnpart none\n"
       "ifnpart none write 1\nifnpart none ifnpart kernel erase 40000 20000\n",
       kProcKernel, "erase", 0, "Unknown script command BAD 1 2\nincomplete script command write 1\n"},
      {"ifnpart alpha ifnpart beta erase 0 20000\nifnpart none ifnpart kernel erase 40000 20000\n",
       "mtd7: 1 2 \"beta\"\n", "erase", 0x40000, ""},
  };
  for (const auto& c : cases) {
    const long long start = c.start;
    ChildResult r = RunScript(c.script, Proc(c.proc), [&](Board& b) {
      CHILD_CHECK_EQ(0, Ops(c.trace)(b));
      CHILD_CHECK(fakenand::ops.empty() || fakenand::ops[0].start == start);
      return 0;
    });
    EXPECT_EQ(0, r.status) << c.script << r.out;
    EXPECT_EQ("finish\n", r.out);
    EXPECT_EQ(c.err, r.err);
  }
}

namespace {

// A system-log service of the board's own in its directory, on a queue key nobody else uses.
struct Service {
  BoardPlaces places;
  std::string local, remote;
  int sock = -1, queue = -1;

  // The queue is made and removed by the parent, so that a run that dies leaves none behind.
  int MakeQueue() {
    for (key_t key = 0x46570000 + (getpid() & 0xFFFF) * 16; queue < 0; ++key) {
      queue = msgget(key, IPC_CREAT | IPC_EXCL | 0777);
      places.log_queue_key = key;
      if (queue < 0 && errno != EEXIST) return -1;
    }
    return queue;
  }
  int Start(Board& b) {
    local = b.root + "/sender";
    remote = b.root + "/syslog";
    const int key = places.log_queue_key;
    places = board();
    places.log_local = local.c_str();
    places.log_service = remote.c_str();
    places.log_queue_key = key;
    board_install(&places);
    sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", remote.c_str());
    return sock >= 0 && bind(sock, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
  }
  // What arrived on both channels; the datagram's closing NUL shown as \0.
  std::string Received() {
    char buf[4096];
    ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    std::string d = n < 0 ? "<none>" : std::string(buf, static_cast<size_t>(n));
    if (!d.empty() && d.back() == '\0') d.replace(d.size() - 1, 1, "\\0");
    struct {
      long mtype;
      char mtext[4096];
    } m;
    n = msgrcv(queue, &m, sizeof m.mtext, 0, IPC_NOWAIT);
    const std::string q = n < 0 ? "<none>" : std::string(m.mtext, static_cast<size_t>(n));
    return "[dgram " + d + "][msg " + q.substr(0, q.find("&time=")) + "]";
  }
};

// Runs "chkver <dir>/ver <required>" then an erase, with version text in the file (none when
// null) and a service on both channels; what the service received and the operations go to
// standard error.
ChildResult Chkver(const char* version, const std::string& required) {
  static Service service;
  service.queue = -1;
  EXPECT_LE(0, service.MakeQueue());
  ChildResult r = RunScript(
      "chkver ver " + required + "\nerase 0 20000\n",
      [version](Board& b) {
        if (version) b.put("ver", version);
        if (chdir(b.work.c_str()) != 0) return 1;
        return service.Start(b);
      },
      [](Board&) {
        fprintf(stderr, "%s[ops %s]", service.Received().c_str(), fakenand::Trace().c_str());
        return 0;
      });
  msgctl(service.queue, IPC_RMID, nullptr);
  return r;
}

}  // namespace

TEST(ScriptVersion, InstalledVersionAtLeastRequiredGoesOn) {
  for (const char* v : {"v1.2r7 build", "v1.2r0\tx\n", "v2.0r0 x", "v1.10r1 y", "v1.2r7word"}) {
    ChildResult r = Chkver(v, "1.2");
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
    EXPECT_EQ(255, r.status) << v;
    EXPECT_EQ("Check Version Error (v1.2 required), badimage\n", r.out) << v;
    EXPECT_EQ(
        "[dgram action=insertlog&logid=108&desc=Firmware Update failed&note=v1.2 "
        "required&logtype=System\\0][msg event=addlog&id=108&desc=Firmware update "
        "failed&note=v1.2 required&type=System][ops ]",
        r.err)
        << v;
  }
}

TEST(ScriptVersion, UnreadableVersionIsRefusedWithoutEventAndABadRequirementStops) {
  for (const char* v :
       {static_cast<const char*>(nullptr), "", "v1.2r3", "v1.2r3 \n", "1.2r3 x", " v1.2r3 x", "v1.2 x"}) {
    ChildResult r = Chkver(v, "1.2");
    EXPECT_EQ(255, r.status) << (v ? v : "(none)");
    EXPECT_EQ("Check Version Error (v1.2 required), badimage\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find("[dgram <none>][msg <none>][ops ]")) << r.err;
  }
  // A FIFO in its place is not waited on for ever.
  ChildResult r = RunScript("chkver ver 1.2\nerase 0 20000\n", [](Board& b) {
    alarm(10);
    return chdir(b.work.c_str()) || mkfifo("ver", 0644);
  });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Check Version Error (v1.2 required), badimage\n", r.out);
  // A required version without two numbers stops the run.
  r = Chkver("v9.9r9 x", "1");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("finish\n", r.out);
  EXPECT_EQ("incomplete script command chkver ver 1, Abort\n[dgram <none>][msg <none>][ops ]", r.err);
}

TEST(ScriptFlash, EraseCheckLooksAtTheFirst2048BytesWhateverThePageSize) {
  for (uint32_t page : {512u, 2048u, 4096u, 8192u}) {
    ChildResult r = OnBoard(
        [](Board& b) -> int {
          fakenand::Reset(&b.chip);
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

TEST(ScriptFlash, DupOobNeverWritesAStaleCopyNorFollowsAPlantedLink) {
  // The reader gives up before reading: an old tmp.yaffs must not go to flash.
  ChildResult r = RunScript(
      "dupoob 800000 20000 20000 200000\nerase 0 20000\n",
      [](Board& b) {
        b.put("tmp.yaffs", std::string(2080, 's'));
        fakenand::dump_result = -1;
        return 0;
      },
      [](Board& b) {
        CHILD_CHECK_EQ(std::string("dump_oob_file"), fakenand::Trace());
        CHILD_CHECK(b.chip.is_erased(0x800000, testboard::kEb));
        return 0;
      });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("finish\n", r.out);
  EXPECT_NE(std::string::npos, r.err.find("nothing written")) << r.err;

  r = RunScript(
      "dupoob 800000 20000 800 200000\n",
      [](Board& b) {
        testutil::WriteAll(b.root + "/victim", "keep");
        return symlink((b.root + "/victim").c_str(), b.path("tmp.yaffs").c_str());
      },
      [](Board& b) {
        CHILD_CHECK_EQ(std::string("keep"), testutil::ReadAll(b.root + "/victim"));
        CHILD_CHECK_EQ(2080u, b.get("tmp.yaffs").size());
        return 0;
      });
  EXPECT_EQ(0, r.status) << r.out;
}

TEST(ScriptFlash, SetEnvLeavesFlashAloneWhenTheBlockCannotBeReadOrSaved) {
  const std::string big(0x1FFFC - 20, 'v');
  const struct {
    std::string line;
    std::vector<std::string> env;
    bool unreadable;
    std::string said;
  } cases[] = {
      {"setenv 3c0000 20000 image 2",
       {"image=1", "a=b"},
       true,
       "setenv 3c0000 20000 image 2: boot environment at 0x3c0000 cannot be read, left unchanged"},
      // An environment too full for its block is not written either.
      {"setenv 3c0000 20000 more " + std::string(100, 'm'), {"a=" + big}, false, "left unchanged"},
  };
  for (const auto& c : cases) {
    ChildResult r = RunScript(
        c.line + "\nerase 0 20000\n",
        [&](Board& b) {
          b.program(0x3C0000, oracle::EnvBlock(c.env));
          if (c.unreadable) b.kernel.fail_reads("/dev/mtd0", EIO);
          return 0;
        },
        [&](Board& b) {
          CHILD_CHECK_EQ(std::string(), fakenand::Trace());
          CHILD_CHECK(b.env_is(0x3C0000, c.env));
          return 0;
        });
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("finish\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find(c.said)) << r.err;
  }
}

TEST(ScriptLoad, OnlyAWholeRegularScriptIsTakenAndCountAndRunLeaveItUnchanged) {
  ChildResult r = OnBoard([](Board& b) -> int {
    fakenand::Reset(&b.chip);
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
      CHILD_CHECK_EQ(1, s.GetBlockNumToWrite());
      CHILD_CHECK_EQ(0, s.Run());
      CHILD_CHECK_EQ(text, s.m_sScript);
    }
    CHILD_CHECK_EQ(std::string("erase write_mem erase erase write_mem erase"), fakenand::Trace());
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
