// Whole updates through the driver, the script engine, the real NAND operations and MTD layer on
// a simulated board: the chip as "/dev/mtd0", the boot environment partition as
// "/dev/mtdblock4", the package already unpacked in the working directory; then the engine's own
// pieces (numbers, partition lookup, budget, loading, blank check) and the boot environment block
// (layout as the boot loader reads it, lookup and change rules, CRC). Each run is a forked child,
// as the NAND operations may end the process. The same lines under injected faults are the
// campaign's (test_campaign.cpp); here are the exact words and what the campaign never varies.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/child_check.h"
#include "EnvUtil.h"
#include "UCrc32.h"
#include "UpgradeScript.h"
#include "board.h"
#include "flash_oracle.h"
#include "kernel.h"
#include "nand_ops.h"
#include "sim_kernel.h"

using testboard::Board;
using testboard::Exists;
using testboard::kEb;
using testboard::kEnvAt;
using testboard::OnBoard;
using testboard::Pattern;
using testutil::ChildResult;
using testutil::RunChild;

namespace {

const uint32_t kPage = 2048;
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

// The real NAND operations, but the erase (every flash line's first) notes how much of standard
// output was still unflushed, and the source of a dupoob may be made to fail before it is read;
// the kernel's syncs are counted.
nand_ops g_spy;
kernel_ops g_kernel_spy;
size_t g_pending = ~size_t(0);
bool g_dump_fails = false;
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
  g_spy.dump_file_oob = [](const char* f, int s, int n, const char* d) {
    return g_dump_fails ? -1 : real->dump_file_oob(f, s, n, d);
  };
  return 0;
}

}  // namespace

TEST(WholeUpdate, RoadOfOneUpdate) {
  // Three eraseblocks, the last one partly filled.
  const std::string image = Pattern(2 * kEb + 5 * kPage + 100, 9);
  ChildResult r = Update(
      {"bootdelay=1", "image=1", "bootcmd=nand read 0 200000", "opaque"},
      {{"fwupdate_1", "write 200000 1c0000 kernel.img\nsetenv 3c0000 20000 image 2\n"},
       {"kernel.img", image}},
      [](Board& b) {
        b.chip.fill(0x200000, 0x1C0000, 0x5A);  // an old image in the kernel partition, to be erased first
        return Spy(b);
      },
      [&](Board& b) {
        CHILD_CHECK(b.read(0x200000, image.size()) == image);
        // The rest of the last page is padding; the rest of the range is erased.
        const uint64_t end = 0x200000 + image.size();
        const uint64_t page_end = (end + kPage - 1) / kPage * kPage;
        CHILD_CHECK(b.read(end, page_end - end) == std::string(page_end - end, '\xff'));
        CHILD_CHECK(b.chip.is_erased(page_end, 0x3C0000 - page_end));
        CHILD_CHECK_EQ(0u, static_cast<unsigned>(b.chip.violations()));
        CHILD_CHECK(b.env_is(kEnvAt, {"bootdelay=1", "image=2", "bootcmd=nand read 0 200000", "opaque"}));
        // The boot loader's view of the partition sees the new slot.
        EnvUtil e("/dev/mtdblock4", testboard::kEnvSize);
        CHILD_CHECK_EQ(2, e.GetIntValue("image"));
        CHILD_CHECK_EQ(std::string("16-30"), Erased(b));  // nothing else erased
        // The budget is out before the first flash operation; the flash is synced before "finish".
        CHILD_CHECK_EQ(0u, static_cast<unsigned>(g_pending));
        CHILD_CHECK_EQ(1, g_syncs);
        return 0;
      });
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(kHead + std::string("4\n") + BlockLines({16, 17, 18, 30}) + "finish\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST(WholeUpdate, BudgetMatchesTheBlockLinesWhateverThePageSize) {
  const struct {
    uint32_t page;
    std::string script;
    std::vector<size_t> sizes;
    std::string out;
  } cases[] = {
      {2048,
       "write 0 20000 0.bin\nwrite 100000 60000 1.bin\nwrite 200000 20000 2.bin\nwrite 300000 100000 3.bin\n",
       {kEb, kEb + 1, 1, 4 * kEb - 1},
       "8\n" + BlockLines({0, 8, 9, 16, 24, 25, 26, 27})},
      // Pages larger than the bytes the erase check looks at.
      {4096, "write 200000 40000 0.bin\n", {kEb + 3 * 4096}, "2\n" + BlockLines({16, 17})},
      {8192, "write 200000 40000 0.bin\n", {kEb + 3 * 8192}, "2\n" + BlockLines({16, 17})},
  };
  for (const auto& c : cases) {
    Files files = {{"fwupdate_1", c.script}};
    for (size_t i = 0; i < c.sizes.size(); ++i)
      files.push_back({std::to_string(i) + ".bin", Pattern(c.sizes[i], c.page + i)});
    ChildResult r = Update(
        {"image=1"}, files, nullptr,
        [&](Board& b) {
          const std::string& last = files.back().second;
          const size_t at = c.script.rfind("write ") + 6;
          CHILD_CHECK(b.read(strtoull(c.script.c_str() + at, nullptr, 16), last.size()) == last);
          return 0;
        },
        testboard::Geometry(c.page));
    EXPECT_EQ(0, r.status) << c.page << r.out << r.err;
    EXPECT_EQ(kHead + c.out + "finish\n", r.out);
  }
}

// The slot the boot environment names picks the script; a package without it, or with a script
// that cannot be read whole, stops before any flash access.
TEST(WholeUpdate, DriverPicksTheSlotScriptOrStops) {
  const std::string refused = "Checking fwupdate_1 \nfail to open fwupdate_1, badimage, abort\n";
  const std::string noenv = "cannot find image environment variable, abort\n";
  const std::string erase = "erase 0 20000\n";
  const struct {
    std::vector<std::string> env;
    Files files;
    int status;
    std::string out;
  } cases[] = {
      {{"bootdelay=1", "image=3"}, {{"fwupdate_1", "WRONG\n"}, {"fwupdate_3", erase}}, 0, "fwupdate_3"},
      {{"image=a"}, {{"fwupdate_0", erase}}, 0, "fwupdate_0"},
      {{"image=-1"}, {{"fwupdate_-1", erase}}, 0, "fwupdate_-1"},
      {{"bootdelay=1", "images=1", "image"}, {{"fwupdate_1", erase}, {"fwupdate_0", erase}}, 255, noenv},
      {{}, {{"fwupdate_1", erase}}, 255, noenv},
      {{"image=1"},
       {{"fwupdate_2", erase}},
       255,
       "Checking fwupdate_1 \nfwupdate_1 is not found in image\nfail to open fwupdate_1, badimage, abort\n"},
      {{"image=1"}, {{"fwupdate_1", std::string("erase 0 20000\n\0erase 20000 20000\n", 34)}}, 255, refused},
      {{"image=1"}, {{"fwupdate_1", ""}}, 0, "Checking fwupdate_1 \nTotal Block to Write = -1\n"},
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

// How lines are cut and read: line ends, blanks, long lines, unknown and short lines (reported
// whole and skipped), conditional lines (inserted with single blanks) and a missing image (which
// stops the run: a later line must not switch to a slot left unwritten).
TEST(WholeUpdate, LinesAreCutReadAndReported) {
  const std::string lf = "erase 0 40000\n\n   \nerase 100000 30000\n\t\terase\t200000 \t 10000  extra\n";
  // A number beyond the 255th character is still read, and nothing spills over.
  std::string wide = "erase 0 40000\nerase" + std::string(300, ' ') + "100000\t" + std::string(200, '\t') +
                     "30000 " + std::string(1000, 'x') + "\n" + std::string(1500, '\n') +
                     "erase 200000 10000\n";
  std::string large, many;
  for (int i = 0; i < 1600; ++i) large += "erase 0 20000   \n", many += i ? "0 " : "";
  const std::string kProc = kProcHead + std::string(kKernel);
  const struct {
    std::string script, proc, erased, err;
  } cases[] = {
      {lf, kProc, "0-1 8 16-127", ""},
      {"erase 0 40000\rerase 100000 30000\r\terase 200000 10000", kProc, "0-1 8 16-127", ""},
      {wide, kProc, "0-1 8 16-127", ""},
      {large + "erase 20000 20000\n", kProc, many + "0-1", ""},
      {"\n\r\n \t \v\f\r\r\n\n", kProc, "", ""},
      {"WRITE  0 \t 1 x\nfinish\n# comment\nwrite 100000 20000\nwriteoob 1 2\ndupoob 1 2 3\nerase 0\n"
       "setenv 3c0000 20000 image\nchkver /etc/version\nifnpart\nerase 0 20000\n",
       kProc, "0",
       "Unknown script command WRITE  0 \t 1 x\nUnknown script command finish\nUnknown script command # "
       "comment\n"
       "incomplete script command write 100000 20000\nincomplete script command writeoob 1 2\n"
       "incomplete script command dupoob 1 2 3\nincomplete script command erase 0\n"
       "incomplete script command setenv 3c0000 20000 image\nincomplete script command chkver /etc/version\n"
       "incomplete script command ifnpart\n"},
      {"write 100000 20000 missing.bin\nwriteoob 0 20000 sub/none\nerase 0 20000\n", kProc, "",
       "<board>/update/missing.bin doesn't exist\n"},
      {"ifnpart nosuchpart erase 0 20000\nX\n", kProc, "0", "Unknown script command X\n"},
      {"ifnpart nosuchpart erase 0 20000\nX\n", "mtd3: 1 2 \"nosuchpart\"\n", "",
       "Unknown script command X\n"},
      {"ifnpart alpha ifnpart beta erase 0 20000\nifnpart\tnone  \tBAD\t\t1   2\nifnpart none\n"
       "ifnpart none write 1\nifnpart none ifnpart kernel erase 40000 20000\n",
       kProc, "0", "Unknown script command BAD 1 2\nincomplete script command write 1\n"},
      {"ifnpart alpha ifnpart beta erase 0 20000\nifnpart none ifnpart kernel erase 40000 20000\n",
       "mtd7: 1 2 \"beta\"\n", "2", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script.substr(0, 60));
    ChildResult r = Update(
        {"image=1"}, {{"fwupdate_1", c.script}},
        [&](Board& b) {
          b.kernel.set_file("/proc/mtd", c.proc);
          return 0;
        },
        [&](Board& b) {
          CHILD_CHECK_EQ(c.erased, Erased(b));
          return 0;
        });
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("finish\n", r.out.substr(r.out.size() - 7));
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
  void MakeQueue() {
    for (key_t key = 0x46570000 + (getpid() & 0xFFFF) * 16; queue < 0; ++key) {
      queue = msgget(key, IPC_CREAT | IPC_EXCL | 0777);
      places.log_queue_key = key;
      if (queue < 0 && errno != EEXIST) return;
    }
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

}  // namespace

// "chkver ver REQUIRED": an installed version at least the required one goes on; an older one
// is refused with an event to the system log; an unreadable one is refused without; a required
// version without two numbers stops the run. The campaign compares plain versions; here are the
// texts it never reads, and the event.
TEST(WholeUpdate, VersionCheck) {
  const std::string bad = "Check Version Error (v1.2 required), badimage\n";
  const std::string none = "[dgram <none>][msg <none>]";
  const std::string event =
      "[dgram action=insertlog&logid=108&desc=Firmware Update failed&note=v1.2 required&logtype=System\\0]"
      "[msg event=addlog&id=108&desc=Firmware update failed&note=v1.2 required&type=System]";
  const struct {
    std::string version;  // "-": no file, "|": a FIFO
    std::string required, out, received, err;
  } cases[] = {
      {"v1.10r1 y", "1.2", "finish\n[0]", none, ""},
      {"v1.2r7word", "1.2", "finish\n[0]", none, ""},
      // A word far longer than any fixed buffer is only looked at, never copied past its end.
      {"v3.0r1 " + std::string(5000, 'w'), "1.2junk", "finish\n[0]", none, ""},
      {"v1.1r9 build", "1.2", bad + "[]", event, ""},
      {"-", "1.2", bad + "[]", none, ""},
      {"v1.2r3", "1.2", bad + "[]", none, ""},
      {"v1.2r3 \n", "1.2", bad + "[]", none, ""},
      {"1.2r3 x", "1.2", bad + "[]", none, ""},
      {" v1.2r3 x", "1.2", bad + "[]", none, ""},
      {"|", "1.2", bad + "[]", none, ""},  // not waited on for ever
      {"v9.9r9 x", "1", "finish\n[]", none, "incomplete script command chkver ver 1, Abort\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version.substr(0, 20) + " " + c.required);
    static Service service;
    service.queue = -1;
    service.MakeQueue();
    ASSERT_LE(0, service.queue);
    ChildResult r = Update(
        {"image=1"}, {{"fwupdate_1", "chkver ver " + c.required + "\nerase 0 20000\n"}},
        [&](Board& b) {
          alarm(10);
          if (c.version == "|") mkfifo("ver", 0644);
          if (c.version != "-" && c.version != "|") b.put("ver", c.version);
          return service.Start(b);
        },
        [](Board& b) {
          printf("[%s]", Erased(b).c_str());
          fprintf(stderr, "%s", service.Received().c_str());
          return 0;
        });
    msgctl(service.queue, IPC_RMID, nullptr);
    // A refused version still ends the run as a success: the word badimage is the answer.
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(kHead + std::string("0\n") + c.out, r.out);
    EXPECT_EQ(c.err + c.received, r.err);
  }
}

// Lines that cannot be carried out as asked say so naming their line, change nothing they had
// not already had to erase, and stop the run (the erase of block 100 after them never runs);
// lines that can be carried out do so and the run goes on. The refusals the campaign meets (range,
// alignment, file kinds and sizes, names, damaged environments, chip faults) are judged there;
// these are the ones its packages and chip never produce.
TEST(WholeUpdate, EachLineStoresWhatItAskedOrStopsHavingChangedNothing) {
  struct Row {
    std::string line;
    std::string said;  // on standard error after "<line>: "; "" when the line must work
    bool untouched;    // refused before its erase: the whole chip as it was
    std::function<void(Board&)> fault = nullptr;
    std::function<int(Board&)> check = nullptr;
  };
  const std::string kImage = Pattern(kEb, 4);
  const std::vector<Row> rows = {
      // Images come only from inside the package.
      {"write 200000 20000 ../outside.bin", "<board>/update/../outside.bin is outside the package", true},
      {"writeoob 200000 20000 sub/../../outside.bin",
       "<board>/update/sub/../../outside.bin is outside the package", true},
      {"write 200000 20000 ext/k.bin", "<board>/update/ext/k.bin cannot be opened: Not a directory", true},
      {"write 200000 20000 sub/../k.bin", "", false, nullptr,
       [&](Board& b) {
         CHILD_CHECK(b.read(0x200000, kImage.size()) == kImage);
         return 0;
       }},
      {"setenv 3c0000 20000 image 2", "boot environment at 0x3c0000 cannot be read, left unchanged", true,
       [](Board& b) { b.kernel.fail_reads("/dev/mtd0", EIO); }},
      {"setenv 440000 20000 more " + std::string(100, 'm'),
       "boot environment at 0x440000 would overflow, left unchanged", true,
       [](Board& b) { b.program(0x440000, oracle::EnvBlock({"a=" + std::string(0x1FFFC - 20, 'v')})); }},
      // A stale copy of an earlier dupoob must not go to flash when the source cannot be read.
      {"dupoob 440000 20000 20000 200000", "cannot read the source, nothing written", true,
       [](Board& b) {
         b.put("tmp.yaffs", std::string(2080, 's'));
         g_dump_fails = true;
         Spy(b);
       }},
      // Nor may a planted link redirect the copy.
      {"dupoob 440000 20000 800 200000", "", false,
       [](Board& b) {
         testutil::WriteAll(b.root + "/victim", "keep");
         if (symlink((b.root + "/victim").c_str(), b.path("tmp.yaffs").c_str()) != 0) abort();
       },
       [](Board& b) {
         CHILD_CHECK_EQ(std::string("keep"), testutil::ReadAll(b.root + "/victim"));
         CHILD_CHECK_EQ(2080u, b.get("tmp.yaffs").size());
         return 0;
       }},
      // The chip cannot be opened: the erase and the line say why, the run stops before the flash.
      {"write 200000 40000 k.bin", "block at 0x200000 did not erase, nothing written", false,
       [](Board& b) { b.kernel.fail_open("/dev/mtd0", EACCES); }},
      // The erase gave up at its first bad-block query: the range only looks blank at its start.
      {"write 200000 40000 k.bin", "block at 0x200000 did not erase, nothing written", false,
       [](Board& b) {
         b.chip.bb_supported = false;
         b.chip.fill(0x200000, 0x800, 0xFF);
       },
       [](Board& b) {
         CHILD_CHECK(b.chip.is_erased(0x200000, 0x800));
         return 0;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    static oracle::ChipState before;
    ChildResult r = Update(
        {"a=1", "image=1"}, {{"fwupdate_1", row.line + "\nerase c80000 20000\n"}, {"k.bin", kImage}},
        [&](Board& b) {
          mkdir(b.path("sub").c_str(), 0755);
          mkdir((b.root + "/ext").c_str(), 0755);
          testutil::WriteAll(b.root + "/ext/k.bin", "k");
          testutil::WriteAll(b.root + "/outside.bin", std::string(0x800, 'o'));
          if (symlink((b.root + "/ext").c_str(), b.path("ext").c_str()) != 0) return 1;
          b.chip.fill(0xC80000, kEb, 0x00);
          b.chip.fill(0x200000, 0x80000, 0x5A);
          if (row.fault) row.fault(b);
          oracle::Capture(b.chip, &before);
          return 0;
        },
        [&](Board& b) {
          CHILD_CHECK_EQ(0u, static_cast<unsigned>(b.chip.violations()));
          CHILD_CHECK_EQ(!row.said.empty(), !b.chip.is_erased(0xC80000, kEb));
          if (row.untouched) CHILD_CHECK(memcmp(before.data.data(), b.chip.data(0), before.data.size()) == 0);
          return row.check ? row.check(b) : 0;
        });
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("finish\n", r.out.substr(r.out.size() - 7));
    EXPECT_TRUE(row.said.empty() || testboard::HasLine(r.err, row.line + ": " + row.said)) << r.err;
  }
}

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
    b.kernel.set_file("/proc/mtd", kProcHead + std::string(kKernel) + kEnv + last);
    const std::string p = b.root + "/pwned";
    const struct {
      std::string pattern;
      int found;
      std::string result;  // "*": not looked at
    } cases[] = {
        {"kernel", 1, kKernel},
        {"rootfs1", 0, ""},
        {"mtd[45]:", 1, kEnv + last + "\n"},
        {"^mtd1.*kernel\"$", 1, "*"},
        {"kernel\\+x", 0, "*"},
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
    b.kernel.set_file("/proc/mtd", kProcHead + std::string("mtd2: 1 2 \"$(a)\"\n"));
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
      b.kernel.set_file("/proc/mtd", kProcHead + c.proc);
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

namespace {

const unsigned int S = EnvUtil::kBlockSize;
const unsigned int D = S - 4;
typedef std::vector<std::string> Entries;

// The oracle's block, made without the product's routines.
std::string Block(const Entries& entries) { return oracle::EnvBlock(entries, S); }

// The block saved by env, "" when refused.
std::string Save(EnvUtil& env) {
  std::string out(S, '\x5a');
  return env.SaveMemory(&out[0]) == 0 ? out : "";
}

// An environment loaded from the given bytes at /dev/mtdblock4 of a simulated chip.
struct Env {
  sim::Chip chip;
  sim::Kernel k;
  explicit Env(const std::string& bytes, unsigned int size = S) {
    memcpy(chip.data(0x3C0000), bytes.data(), bytes.size());
    k.add_block("/dev/mtdblock4", &chip, 0x3C0000, size);
  }
};

}  // namespace

TEST(Crc32, MatchesTheBitwiseDefinitionAtEveryAlignmentAndLength) {
  EXPECT_EQ(0xCBF43926u, crc32(0, reinterpret_cast<const unsigned char*>("123456789"), 9));
  std::vector<unsigned char> buf(128 + 8);
  for (size_t i = 0; i < buf.size(); i++) buf[i] = static_cast<unsigned char>(i * 37 + 11);
  for (size_t align = 0; align < 8; align++) {
    for (unsigned int len = 0; len <= 128; len++) {
      const unsigned char* p = buf.data() + align;
      const unsigned int want = oracle::Crc32(p, len), cut = len / 3;
      ASSERT_EQ(want, crc32(0, p, len)) << align << " " << len;
      // Chaining two pieces gives the CRC of the whole, wherever the cut falls.
      ASSERT_EQ(want, crc32(crc32(0, p, cut), p + cut, len - cut)) << align << " " << len;
      ASSERT_EQ(want, ~crc32_no_comp(~0u, p, len));
    }
  }
}

TEST(EnvUtilBlock, LookupRules) {
  const std::string block = Block({"image=1", "empty=", "opaque", "n1=12abc", "n2=abc", "n3= -3",
                                   "big=99999999999", "neg=-99999999999", "dup=first", "dup=second",
                                   "bootargs=console=ttyS0,115200 root=/dev/mtdblock2"});
  Env e(block);
  EnvUtil env("/dev/mtdblock4", S);
  ASSERT_TRUE(env.IsLoaded());
  EXPECT_EQ(oracle::Crc32(reinterpret_cast<const unsigned char*>(block.data()) + 4, D), env.GetCRC());
  EXPECT_TRUE(Save(env) == block) << "saved block differs from the loaded one";
  const struct {
    const char* key;
    int has, number;
    const char* value;
  } cases[] = {
      {"image", 1, 1, "1"},
      {"empty", 1, 0, nullptr},
      // An entry without "=" never matches, not even its whole text.
      {"opaque", 0, 0, nullptr},
      {"imag", 0, 0, nullptr},
      {"image=1", 0, 0, nullptr},
      {"Image", 0, 0, nullptr},
      {"n1", 1, 12, "12abc"},
      {"n2", 1, 0, "abc"},
      {"n3", 1, -3, " -3"},
      {"big", 1, INT_MAX, "99999999999"},
      {"neg", 1, INT_MIN, "-99999999999"},
      {"missing", 0, 0, nullptr},
      {"dup", 1, 0, "first"},
      // The value may itself hold "=".
      {"bootargs", 1, 0, "console=ttyS0,115200 root=/dev/mtdblock2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(c.has, env.HasKey(c.key));
    EXPECT_EQ(c.number, env.GetIntValue(c.key));
    if (c.value)
      EXPECT_STREQ(c.value, env.GetKeyValue(c.key));
    else
      EXPECT_EQ(nullptr, env.GetKeyValue(c.key));
  }
}

TEST(EnvUtilBlock, SetReplacesTheFirstMatchInPlaceOrAppends) {
  Env e(Block({"dup=first", "opaque", "image=1", "dup=second"}));
  EnvUtil env("/dev/mtdblock4", S);
  env.SetKeyValue("dup", "new");
  env.SetKeyValue("image", "2");
  env.SetKeyValue("fresh", "x");
  env.SetKeyValue("a=b", "c");  // a key holding "=" can never match: always appended
  env.SetKeyValue("a=b", "d");
  EXPECT_TRUE(Save(env) ==
              Block({"dup=new", "opaque", "image=2", "dup=second", "fresh=x", "a=b=c", "a=b=d"}));
}

TEST(EnvUtilBlock, ParseEdges) {
  std::string unended = Block({"a=1"}), full = Block({}), empty = Block({});
  // A last string without its NUL inside the data area is not an entry and is not saved.
  memset(&unended[4 + 4], 'x', D - 4);
  // A data area that ends exactly on an entry's NUL keeps that entry.
  memset(&full[4], 'y', D - 1);
  full[4] = 'k';
  full[5] = '=';
  // A data area that starts with NUL is an empty environment: a variable set then is the
  // first entry, where the boot loader finds it, not behind an empty string.
  empty[5] = 'z';
  const struct {
    std::string bytes;
    Entries entries;
    const char* set;  // a value for image before saving; "-": no save
  } cases[] = {
      {unended, {"a=1"}, "2"},
      {full, {"k=" + std::string(D - 3, 'y')}, "-"},
      {empty, {}, "2"},
      {Block({}), {}, nullptr},  // saved as an all-zero data area
      // A short device reads as a zero tail.
      {Block({"a=1", "b=2"}).substr(0, 64), {"a=1", "b=2"}, "-"},
  };
  for (const auto& c : cases) {
    Env e(c.bytes, static_cast<unsigned int>(c.bytes.size()));
    EnvUtil env("/dev/mtdblock4", S);
    EXPECT_TRUE(env.IsLoaded());
    EXPECT_EQ(c.entries, env.Entries());
    if (c.set && *c.set == '-') continue;
    Entries want = c.entries;
    if (c.set) env.SetKeyValue("image", c.set), want.push_back(std::string("image=") + c.set);
    EXPECT_TRUE(Save(env) == Block(want));
  }
}

TEST(EnvUtilBlock, OverfullListIsRefusedAndOutUntouched) {
  Env e(Block({}));
  EnvUtil env("/dev/mtdblock4", S);
  // Entries and NULs plus the closing empty string: exactly the data area fits.
  env.SetKeyValue("k", std::string(D - 4, 'v').c_str());  // "k=" + value + NUL + NUL = D
  EXPECT_TRUE(Save(env) == Block({"k=" + std::string(D - 4, 'v')}));
  env.SetKeyValue("k", std::string(D - 3, 'v').c_str());  // one byte too many
  std::string out(S, '\x5a');
  ChildResult r = RunChild([&] { return env.SaveMemory(&out[0]) == -1 ? 0 : 1; });
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("does not fit")) << r.err;
  EXPECT_EQ(-1, env.SaveMemory(&out[0]));
  EXPECT_TRUE(out == std::string(S, '\x5a'));
}

TEST(EnvUtilDevice, OffsetFormReadsTheBlockAtItsOffsetOnTheWholeChip) {
  Env e(Block({"where=first"}) + Block({"where=second"}), 2 * S);
  e.k.add_mtd(0, &e.chip, "nand0");
  {
    EnvUtil env("/dev/mtd0", 0x3C0000 + S, S);
    EXPECT_STREQ("second", env.GetKeyValue("where"));
  }
  EXPECT_EQ(0u, e.k.open_fds());
}

TEST(EnvUtilDevice, MissingOrUnreadableDeviceIsNotLoaded) {
  Env e(Block({"image=1"}));
  ChildResult r = RunChild([&] {
    EnvUtil env("/dev/mtdblock9", S);
    return !env.IsLoaded() && env.HasKey("image") == 0 && env.GetIntValue("image") == 0 &&
                   env.GetKeyValue("image") == nullptr && env.Entries().empty()
               ? 0
               : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out + r.err);
  e.k.fail_reads("/dev/mtdblock4", EIO);
  r = RunChild([&] {
    EnvUtil env("/dev/mtdblock4", S);
    return !env.IsLoaded() && env.Entries().empty() ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.err.find("read fail when init EnvUtil fd=")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" size=131068\n")) << r.err;
  EXPECT_EQ(0u, e.k.open_fds());
}
