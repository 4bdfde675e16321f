// Event sender: the bytes on both channels, the time text, and the behaviour with the service
// absent, silent or its queue full; the stand-in service beside them. Every scenario runs in
// private IPC and mount namespaces, so the board's socket paths and queue key are ours alone.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../updater/Logger.h"
#include "child.h"
#include "child_check.h"
#include "ipc_check.h"

using ipccheck::Occurrences;
using ipccheck::Seconds;
using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const char kService[] = "/tmp/ZQ_SYSTEMLOG";
const char kSender[] = "/tmp/ZQ_FW_UPDATE_SENDER";
const key_t kKey = 0x106;
const std::string kDgram = "action=insertlog&logid=108&desc=Firmware Update failed&note=";
const std::string kMsg = "event=addlog&id=108&desc=Firmware update failed&note=";
const std::string kNul(1, '\0');
// Daylight-saving time all year round: the d suffix is always due.
const char kAlwaysDst[] = "XXX-1YYY,J1/0,J365/25";

int BindService() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", kService);
  return fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}

std::string NextDatagram(int fd) {
  char buf[8192];
  const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n < 0 ? "<none>" : std::string(buf, static_cast<size_t>(n));
}

// The next message's text, "<none>" when there is none; its type in *type.
std::string NextMessage(int id, long* type = nullptr) {
  struct {
    long mtype;
    char mtext[8192];
  } m;
  const ssize_t n = msgrcv(id, &m, sizeof m.mtext, 0, IPC_NOWAIT);
  if (type) *type = m.mtype;
  return n < 0 ? "<none>" : std::string(m.mtext, static_cast<size_t>(n));
}

bool Missing(const char* path) { return access(path, F_OK) != 0; }

}  // namespace

// Both channels present, nobody answering: the exact bytes of one event, its time as an
// independent formatter sees it (the zones and daylight saving are LoggerTime's), and the
// one-second wait for the answer.
TEST(LoggerEvent, ExactBytesAndTheTimeOfSending) {
  ChildResult r = RunIsolated([] {
    setenv("TZ", "UTC0", 1);
    const int service = BindService(), queue = msgget(kKey, 0777 | IPC_CREAT);
    CHILD_CHECK(service >= 0 && queue >= 0);
    const time_t before = time(nullptr);
    const double t0 = Seconds();
    CHILD_CHECK_EQ(0, Logger::write("N"));
    const double took = Seconds() - t0;
    const time_t after = time(nullptr);
    CHILD_CHECK(took >= 0.95 && took < 3.0);
    CHILD_CHECK_EQ(kDgram + "N&logtype=System" + kNul, NextDatagram(service));
    CHILD_CHECK_EQ(std::string("<none>"), NextDatagram(service));
    long type = 0;
    const std::string m = NextMessage(queue, &type), head = kMsg + "N&type=System&time=";
    CHILD_CHECK_EQ(1L, type);
    CHILD_CHECK_EQ(head, m.substr(0, head.size()));
    std::string want[2];
    for (int i = 0; i < 2; ++i) {
      const time_t t = i ? after : before;
      struct tm tm;
      char buf[64];
      gmtime_r(&t, &tm);
      strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &tm);
      want[i] = buf;
    }
    const std::string when = m.substr(head.size());
    CHILD_CHECK(when == want[0] || when == want[1]);
    CHILD_CHECK_EQ(std::string("<none>"), NextMessage(queue));
    CHILD_CHECK(Missing(kSender));
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(LoggerTime, FixedMomentsInSeveralZones) {
  const struct {
    const char* tz;
    time_t t;
    size_t size;
    const char* text;
  } cases[] = {
      {"UTC0", 1700000000, 256, "2023/11/14 22:13:20"},
      {"UTC0", 0, 256, "1970/01/01 00:00:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1690000000, 256, "2023/07/22 06:26:40d"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1700000000, 256, "2023/11/14 23:13:20"},
      {kAlwaysDst, 1700000000, 256, "2023/11/15 00:13:20d"},
      {kAlwaysDst, 1700000000, 8, "2023/11"},  // a small buffer gets a cut, terminated text
  };
  ChildResult r = testutil::RunChild([&] {
    for (const auto& c : cases) {
      // No explicit tzset here: the formatter must notice the new zone on its own.
      setenv("TZ", c.tz, 1);
      char buf[256];
      memset(buf, 'x', sizeof buf);
      Logger::FormatTime(c.t, buf, static_cast<unsigned>(c.size));
      CHILD_CHECK_EQ(std::string(c.text), buf);
    }
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST(LoggerEvent, NoServiceAndNoQueue) {
  ChildResult r = RunIsolated([] {
    const double t0 = Seconds();
    CHILD_CHECK_EQ(0, Logger::write("v2.1 required"));
    const double took = Seconds() - t0;
    CHILD_CHECK(took >= 0.95 && took < 3.0);
    CHILD_CHECK(Missing(kSender));
    CHILD_CHECK(msgget(kKey, 0) < 0 && errno == ENOENT);
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_NE(std::string::npos, r.err.find("NCommandIPC send error. errno:2. local:/tmp/ZQ_FW_UPDATE_SENDER. "
                                          "remote:/tmp/ZQ_SYSTEMLOG. msg:" +
                                          kDgram + "v2.1 required&logtype=System.\n"))
      << r.err;
  // Three reports: the open when connecting, the send on id -1 (the kernel names that
  // EINVAL), and the reopen.
  EXPECT_EQ(2, Occurrences(r.err, "open()\t[ENOENT(2)]")) << r.err;
  EXPECT_EQ(1, Occurrences(r.err, "send()\t[EINVAL(22)]")) << r.err;
  EXPECT_EQ(3, Occurrences(r.err, "Stack Trace:\n")) << r.err;
}

TEST(LoggerIPC, AnswerDecidesTheResult) {
  // mode 0: answer "ok"; 1: answer with an empty datagram; 2: read but never answer.
  for (int mode = 0; mode < 3; ++mode) {
    ChildResult r = RunIsolated([mode] {
      const int service = BindService();
      CHILD_CHECK(service >= 0);
      const pid_t pid = fork();
      if (pid == 0) {
        char buf[4096];
        struct sockaddr_un from;
        socklen_t len = sizeof from;
        if (recvfrom(service, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr*>(&from), &len) <= 0)
          _exit(2);
        if (mode < 2)
          sendto(service, "ok", mode == 0 ? 2 : 0, 0, reinterpret_cast<struct sockaddr*>(&from), len);
        _exit(strcmp(from.sun_path, kSender) == 0 ? 0 : 3);
      }
      const double t0 = Seconds();
      const int rc = Logger::SendLogByIPC(108, "Firmware Update failed", "N", "System");
      const double took = Seconds() - t0;
      CHILD_CHECK_EQ(0, testutil::Wait(pid));
      CHILD_CHECK_EQ(mode == 0 ? 0 : -1, rc);
      CHILD_CHECK(mode == 2 ? took >= 0.95 : took < 0.9);
      CHILD_CHECK(Missing(kSender));
      return 0;
    });
    EXPECT_CHILD_OK(r);
    EXPECT_EQ("", r.err) << "mode " << mode;
  }
}

TEST(LoggerEvent, NotesGoAsTheyAreCutToTheEventBuffer) {
  ChildResult r = RunIsolated([] {
    const int service = BindService(), queue = msgget(kKey, 0777 | IPC_CREAT);
    CHILD_CHECK(service >= 0 && queue >= 0);
    CHILD_CHECK_EQ(0, Logger::write(std::string(3000, 'n').c_str()));
    const std::string d = NextDatagram(service), m = NextMessage(queue);
    CHILD_CHECK_EQ(kDgram + std::string(2048 - kDgram.size() - 1, 'n') + kNul, d);
    CHILD_CHECK_EQ(kMsg + std::string(2047 - kMsg.size(), 'n'), m);
    // A missing note is sent as an empty one rather than crashing the sender.
    CHILD_CHECK_EQ(0, Logger::write(nullptr));
    CHILD_CHECK_EQ(kDgram + "&logtype=System" + kNul, NextDatagram(service));
    CHILD_CHECK_EQ(kMsg + "&type=System&time=", NextMessage(queue).substr(0, kMsg.size() + 18));
    // Values go in as they are: no escaping, a line feed travels along.
    CHILD_CHECK_EQ(0, Logger::write("a&b=c\n"));
    CHILD_CHECK_EQ(kDgram + "a&b=c\n&logtype=System" + kNul, NextDatagram(service));
    // The queue's channel answers nothing: its sender always reports success.
    CHILD_CHECK_EQ(0, Logger::SendLogByMsg(108, "Firmware update failed", "N", "System"));
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

namespace {

const int kNoStandin = 127;

// Exit status of pid; one still running after five seconds is killed (a refusal is immediate).
int Status(pid_t pid) {
  int st = 0;
  for (int i = 0; i < 500 && waitpid(pid, &st, WNOHANG) == 0; ++i) usleep(10000);
  if (kill(pid, 0) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

ino_t Inode(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 ? st.st_ino : 0;
}

}  // namespace

// The stand-in prints what each channel brought, answers unless silent, and at a stop signal
// removes its endpoints and exits 0.
TEST(SyslogStandin, PrintsBothEventsAnswersUnlessSilentAndCleansUp) {
  const int exe = testutil::OpenBuilt("FWAPPLY_SYSLOG_STANDIN", "../../tools/syslog-standin");
  if (exe < 0) GTEST_SKIP() << "no syslog-standin beside the tests";
  for (bool silent : {false, true}) {
    ChildResult r = RunIsolated([exe, silent] {
      setenv("TZ", "UTC0", 1);
      int p[2];
      CHILD_CHECK_EQ(0, pipe(p));
      std::vector<std::string> args = {"syslog-standin"};
      if (silent) args.push_back("--silent");
      const pid_t pid = testutil::Spawn(exe, args, p[1]);
      close(p[1]);
      std::string out;
      char buf[4096];
      while (out.find('\n') == std::string::npos && read(p[0], buf, 1) == 1) out += buf[0];
      if (out.empty()) return Status(pid) == kNoStandin ? kNoStandin : 1;
      CHILD_CHECK_EQ(0u, out.find("ready socket=/tmp/ZQ_SYSTEMLOG key=0x106 msqid="));
      const double t0 = Seconds();
      CHILD_CHECK_EQ(silent ? -1 : 0,
                     Logger::SendLogByIPC(108, "Firmware Update failed", "v2.1 required", "System"));
      CHILD_CHECK(silent == (Seconds() - t0 >= 0.95));
      if (!silent) CHILD_CHECK_EQ(0, Logger::write("v2.1 required"));
      usleep(300000);  // a moment to drain the queue before the stop
      kill(pid, silent ? SIGINT : SIGTERM);
      out.clear();
      for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
      CHILD_CHECK_EQ(0, Status(pid));
      const std::string dgram = kDgram + "v2.1 required&logtype=System";
      const std::string line = "dgram " + std::to_string(dgram.size() + 1) + " " + dgram + "\\0\n";
      const std::string body = kMsg + "v2.1 required&type=System&time=";
      const std::string msg = "msgq type=1 size=" + std::to_string(body.size() + 19) + " " + body;
      CHILD_CHECK_EQ(silent ? line : line + line + msg, out.substr(0, silent ? out.size() : out.size() - 20));
      CHILD_CHECK(Missing(kService) && msgget(kKey, 0) < 0 && errno == ENOENT);
      return 0;
    });
    if (r.status == kNoStandin) GTEST_SKIP() << "syslog-standin cannot be started here";
    EXPECT_CHILD_OK(r);
  }
  close(exe);
}

// Started where the board's system-log service already runs, the stand-in must neither take over
// nor remove the service's socket file and queue; alone, it removes at its end only what it made.
TEST(SyslogStandin, NeverTakesOverOrRemovesTheServicesEndpoints) {
  const int exe = testutil::OpenBuilt(nullptr, "../../tools/syslog-standin");
  if (exe < 0) GTEST_SKIP() << "no syslog-standin beside the tests";
  for (int c = 0; c < 3; ++c) {  // 0: a socket file there, 1: a queue there, 2: alone
    ChildResult r = RunIsolated([&] {
      if (c == 0) testutil::WriteAll(kService, "");
      const int service = c == 1 ? msgget(kKey, IPC_CREAT | 0666) : -1;
      const ino_t ino = Inode(kService);
      const pid_t pid = testutil::Spawn(exe, {"syslog-standin"});
      if (c < 2)
        return Status(pid) != 1 ? 10 : Inode(kService) != ino ? 11 : msgget(kKey, 0) != service ? 12 : 0;
      for (int i = 0; i < 500 && (Inode(kService) == 0 || msgget(kKey, 0) < 0); ++i) usleep(10000);
      if (Inode(kService) == 0) return 20;
      unlink(kService);
      testutil::WriteAll(kService, "");
      kill(pid, SIGTERM);
      if (Status(pid) != 0) return 13;
      return Inode(kService) == 0 || msgget(kKey, 0) >= 0 ? 14 : 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << c << r.err;
  }
  close(exe);
}
