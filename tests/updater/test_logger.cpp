// Event sender: the bytes on both channels, the time text, and the behaviour with the service
// absent, silent or its queue full; the stand-in service beside them. Every scenario runs in
// private IPC and mount namespaces, so the board's socket paths and queue key are ours alone.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
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
#include "private_ns.h"

using testutil::ChildResult;
using testutil::RunChild;
using testutil::RunIsolated;

namespace {

const char kService[] = "/tmp/ZQ_SYSTEMLOG";
const char kSender[] = "/tmp/ZQ_FW_UPDATE_SENDER";
const key_t kKey = 0x106;
const char kDatagramPrefix[] = "action=insertlog&logid=108&desc=Firmware Update failed&note=";
const char kQueuePrefix[] = "event=addlog&id=108&desc=Firmware update failed&note=";
// Daylight-saving time all year round: the d suffix is always due.
const char kAlwaysDst[] = "XXX-1YYY,J1/0,J365/25";

int BindService() {
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", kService);
  if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return -1;
  return fd;
}

std::string NextDatagram(int fd) {
  char buf[8192];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

struct QueueMsg {
  long type = -1;
  std::string text = "<none>";
};

QueueMsg NextMessage(int id) {
  struct {
    long mtype;
    char mtext[8192];
  } m;
  QueueMsg out;
  ssize_t n = msgrcv(id, &m, sizeof m.mtext, 0, IPC_NOWAIT);
  if (n >= 0) {
    out.type = m.mtype;
    out.text.assign(m.mtext, static_cast<size_t>(n));
  }
  return out;
}

// The time text as an independent formatter sees it.
std::string Expected(time_t t) {
  tzset();
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[64];
  strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &tm);
  return std::string(buf) + (tm.tm_isdst > 0 ? "d" : "");
}

double Seconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec + tv.tv_usec / 1e6;
}

bool Missing(const char* path) {
  struct stat st;
  return lstat(path, &st) != 0;
}

int Occurrences(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// Both channels present, no answer: checks the exact bytes of one event under zone tz.
int ExactEventScenario(const char* tz, size_t timeLength) {
  setenv("TZ", tz, 1);
  int service = BindService();
  CHILD_CHECK(service >= 0);
  int queue = msgget(0x106, 0777 | IPC_CREAT);
  CHILD_CHECK(queue >= 0);
  time_t before = time(nullptr);
  double t0 = Seconds();
  CHILD_CHECK_EQ(0, Logger::write("N"));
  double took = Seconds() - t0;
  time_t after = time(nullptr);
  // Nobody answered, so the one-second wait ran out.
  CHILD_CHECK(took >= 0.95 && took < 3.0);
  CHILD_CHECK_EQ(std::string(kDatagramPrefix) + "N&logtype=System" + std::string(1, '\0'),
                 NextDatagram(service));
  CHILD_CHECK_EQ(std::string("<none>"), NextDatagram(service));
  QueueMsg m = NextMessage(queue);
  CHILD_CHECK_EQ(1L, m.type);
  std::string head = std::string(kQueuePrefix) + "N&type=System&time=";
  CHILD_CHECK_EQ(head, m.text.substr(0, head.size()));
  std::string when = m.text.substr(head.size());
  CHILD_CHECK(when == Expected(before) || when == Expected(after));
  CHILD_CHECK_EQ(timeLength, when.size());
  CHILD_CHECK_EQ(std::string("<none>"), NextMessage(queue).text);
  CHILD_CHECK(Missing(kSender));
  printf("time=%s\n", when.c_str());
  return 0;
}

#define EXPECT_CHILD_OK(r)                          \
  do {                                              \
    SKIP_IF_NOT_ISOLATED(r);                        \
    EXPECT_EQ(0, (r).status) << (r).out << (r).err; \
  } while (0)

}  // namespace

TEST(LoggerEvent, ExactBytesWithAndWithoutDaylightSaving) {
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  for (bool dst : {false, true}) {
    // The all-year rule leaves one hour uncovered on New Year's Eve.
    if (dst && tm.tm_mon == 11 && tm.tm_mday == 31 && tm.tm_hour >= 22) continue;
    ChildResult r = RunIsolated(
        [dst] { return dst ? ExactEventScenario(kAlwaysDst, 20) : ExactEventScenario("UTC0", 19); });
    EXPECT_CHILD_OK(r);
    EXPECT_EQ(dst, r.out.find("d\n") != std::string::npos) << r.out;
  }
}

TEST(LoggerTime, FixedMomentsInSeveralZones) {
  ChildResult r = RunChild([] {
    char buf[256];
    setenv("TZ", "UTC0", 1);
    Logger::FormatTime(1700000000, buf, sizeof buf);
    CHILD_CHECK_EQ(std::string("2023/11/14 22:13:20"), buf);
    Logger::FormatTime(0, buf, sizeof buf);
    CHILD_CHECK_EQ(std::string("1970/01/01 00:00:00"), buf);
    // No explicit tzset here: the formatter must notice the new zone on its own.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    Logger::FormatTime(1690000000, buf, sizeof buf);
    CHILD_CHECK_EQ(std::string("2023/07/22 06:26:40d"), buf);
    Logger::FormatTime(1700000000, buf, sizeof buf);
    CHILD_CHECK_EQ(std::string("2023/11/14 23:13:20"), buf);
    setenv("TZ", kAlwaysDst, 1);
    Logger::FormatTime(1700000000, buf, sizeof buf);
    CHILD_CHECK_EQ(std::string("2023/11/15 00:13:20d"), buf);
    // A small buffer gets a cut, terminated text.
    char small[8];
    Logger::FormatTime(1700000000, small, sizeof small);
    CHILD_CHECK_EQ(std::string("2023/11"), small);
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST(LoggerEvent, NoServiceAndNoQueue) {
  ChildResult r = RunIsolated([] {
    double t0 = Seconds();
    CHILD_CHECK_EQ(0, Logger::write("v2.1 required"));
    double took = Seconds() - t0;
    CHILD_CHECK(took >= 0.95 && took < 3.0);
    CHILD_CHECK(Missing(kSender));
    CHILD_CHECK(msgget(0x106, 0) < 0 && errno == ENOENT);
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_NE(std::string::npos,
            r.err.find("NCommandIPC send error. errno:2. local:/tmp/ZQ_FW_UPDATE_SENDER. "
                       "remote:/tmp/ZQ_SYSTEMLOG. msg:action=insertlog&logid=108&desc=Firmware "
                       "Update failed&note=v2.1 required&logtype=System.\n"))
      << r.err;
  // Three reports: the open when connecting, the send on id -1 (the kernel names that
  // EINVAL), and the reopen.
  EXPECT_EQ(2, Occurrences(r.err, "open()\t[ENOENT(2)]")) << r.err;
  EXPECT_EQ(1, Occurrences(r.err, "send()\t[EINVAL(22)]")) << r.err;
  EXPECT_EQ(3, Occurrences(r.err, "Stack Trace:\n")) << r.err;
}

TEST(LoggerEvent, FullQueueDropsTheEventAfterTwoAttempts) {
  ChildResult r = RunIsolated([] {
    int id = msgget(0x106, 0777 | IPC_CREAT);
    CHILD_CHECK(id >= 0);
    struct msqid_ds ds;
    CHILD_CHECK_EQ(0, msgctl(id, IPC_STAT, &ds));
    ds.msg_qbytes = 64;
    CHILD_CHECK_EQ(0, msgctl(id, IPC_SET, &ds));
    struct {
      long mtype;
      char mtext[64];
    } fill;
    fill.mtype = 9;
    memset(fill.mtext, 'f', sizeof fill.mtext);
    CHILD_CHECK_EQ(0, msgsnd(id, &fill, 64, IPC_NOWAIT));
    double t0 = Seconds();
    CHILD_CHECK_EQ(0, Logger::SendLogByMsg(108, "Firmware update failed", "N", "System"));
    CHILD_CHECK(Seconds() - t0 < 0.5);
    CHILD_CHECK_EQ(0, msgctl(id, IPC_STAT, &ds));
    CHILD_CHECK_EQ(1, static_cast<int>(ds.msg_qnum));
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(2, Occurrences(r.err, "send()\t[EAGAIN(11)]")) << r.err;
  EXPECT_EQ(0, Occurrences(r.err, "open()")) << r.err;
}

TEST(LoggerIPC, AnswerDecidesTheResult) {
  // mode 0: answer "ok"; 1: answer with an empty datagram; 2: read but never answer.
  for (int mode = 0; mode < 3; ++mode) {
    ChildResult r = RunIsolated([mode] {
      int service = BindService();
      CHILD_CHECK(service >= 0);
      pid_t pid = fork();
      if (pid == 0) {
        char buf[4096];
        struct sockaddr_un from;
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(service, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr*>(&from), &len);
        if (n <= 0) _exit(2);
        if (mode == 0) sendto(service, "ok", 2, 0, reinterpret_cast<struct sockaddr*>(&from), len);
        if (mode == 1) sendto(service, "", 0, 0, reinterpret_cast<struct sockaddr*>(&from), len);
        _exit(strcmp(reinterpret_cast<const char*>(from.sun_path), kSender) == 0 ? 0 : 3);
      }
      double t0 = Seconds();
      int rc = Logger::SendLogByIPC(108, "Firmware Update failed", "N", "System");
      double took = Seconds() - t0;
      int st = 0;
      waitpid(pid, &st, 0);
      CHILD_CHECK(WIFEXITED(st) && WEXITSTATUS(st) == 0);
      CHILD_CHECK_EQ(mode == 0 ? 0 : -1, rc);
      if (mode == 2)
        CHILD_CHECK(took >= 0.95);
      else
        CHILD_CHECK(took < 0.9);
      CHILD_CHECK(Missing(kSender));
      return 0;
    });
    EXPECT_CHILD_OK(r);
    EXPECT_EQ("", r.err) << "mode " << mode;
  }
}

TEST(LoggerEvent, OverlongNoteIsCutToTheEventBuffer) {
  ChildResult r = RunIsolated([] {
    setenv("TZ", "UTC0", 1);
    int service = BindService();
    int queue = msgget(0x106, 0777 | IPC_CREAT);
    CHILD_CHECK(service >= 0 && queue >= 0);
    std::string note(3000, 'n');
    CHILD_CHECK_EQ(0, Logger::write(note.c_str()));
    std::string d = NextDatagram(service);
    CHILD_CHECK_EQ(2048u, d.size());
    CHILD_CHECK_EQ('\0', d[2047]);
    CHILD_CHECK_EQ(std::string(kDatagramPrefix), d.substr(0, strlen(kDatagramPrefix)));
    QueueMsg m = NextMessage(queue);
    CHILD_CHECK_EQ(2047u, m.text.size());
    CHILD_CHECK_EQ(std::string(kQueuePrefix), m.text.substr(0, strlen(kQueuePrefix)));
    CHILD_CHECK(m.text.find('\0') == std::string::npos);
    // A missing note is sent as an empty one rather than crashing the sender.
    CHILD_CHECK_EQ(0, Logger::write(nullptr));
    CHILD_CHECK_EQ(std::string(kDatagramPrefix) + "&logtype=System" + std::string(1, '\0'),
                   NextDatagram(service));
    m = NextMessage(queue);
    CHILD_CHECK_EQ(std::string(kQueuePrefix) + "&type=System&time=",
                   m.text.substr(0, strlen(kQueuePrefix) + 18));
    // Values go in as they are: no escaping, a line feed travels along.
    CHILD_CHECK_EQ(0, Logger::write("a&b=c\n"));
    CHILD_CHECK_EQ(std::string(kDatagramPrefix) + "a&b=c\n&logtype=System" + std::string(1, '\0'),
                   NextDatagram(service));
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

namespace {

const int kNoStandin = 127;

// Starts the stand-in with its stdout on a pipe; waits for its "ready" line.
// exe is a descriptor opened before the private /tmp hid a build tree that may live there.
pid_t StartStandin(int exe, const char* option, int* outFd, std::string* ready) {
  int p[2];
  if (pipe(p) != 0) return -1;
  std::vector<std::string> args = {"syslog-standin"};
  if (option) args.push_back(option);
  const pid_t pid = testutil::Spawn(exe, args, p[1]);
  close(p[1]);
  *outFd = p[0];
  char c;
  while (read(p[0], &c, 1) == 1 && c != '\n') *ready += c;
  return pid;
}

std::string ReadRest(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

}  // namespace

TEST(SyslogStandin, PrintsBothEventsAndCleansUp) {
  const int exe = testutil::OpenBuilt("FWAPPLY_SYSLOG_STANDIN", "../../tools/syslog-standin");
  if (exe < 0) GTEST_SKIP() << "no syslog-standin beside the tests";
  ChildResult r = RunIsolated([exe] {
    setenv("TZ", "UTC0", 1);
    int out = -1;
    std::string ready;
    pid_t pid = StartStandin(exe, nullptr, &out, &ready);
    CHILD_CHECK(pid > 0);
    if (ready.empty()) {
      int st = 0;
      waitpid(pid, &st, 0);
      if (WIFEXITED(st) && WEXITSTATUS(st) == kNoStandin) return kNoStandin;
    }
    CHILD_CHECK_EQ(0u, ready.find("ready socket=/tmp/ZQ_SYSTEMLOG key=0x106 msqid="));
    CHILD_CHECK_EQ(0, Logger::SendLogByIPC(108, "Firmware Update failed", "v2.1 required", "System"));
    CHILD_CHECK_EQ(0, Logger::write("v2.1 required"));
    // Give the stand-in a moment to drain the queue before it is stopped.
    usleep(300000);
    kill(pid, SIGTERM);
    std::string lines = ReadRest(out);
    int st = 0;
    waitpid(pid, &st, 0);
    CHILD_CHECK(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    std::string dgram = std::string(kDatagramPrefix) + "v2.1 required&logtype=System";
    std::string line = "dgram " + std::to_string(dgram.size() + 1) + " " + dgram + "\\0\n";
    CHILD_CHECK_EQ(0u, lines.find(line + line));
    std::string head = "msgq type=1 size=";
    size_t at = lines.find(head);
    CHILD_CHECK(at != std::string::npos);
    std::string msgLine = lines.substr(at);
    std::string body = std::string(kQueuePrefix) + "v2.1 required&type=System&time=";
    size_t size = body.size() + 19;
    CHILD_CHECK_EQ(0u, msgLine.find(head + std::to_string(size) + " " + body));
    CHILD_CHECK_EQ(msgLine.size(), msgLine.find('\n') + 1);
    CHILD_CHECK(Missing(kService));
    CHILD_CHECK(msgget(0x106, 0) < 0 && errno == ENOENT);
    printf("%s", lines.c_str());
    return 0;
  });
  close(exe);
  if (r.status == kNoStandin) GTEST_SKIP() << "syslog-standin cannot be started here";
  EXPECT_CHILD_OK(r);
}

TEST(SyslogStandin, SilentLetsTheWaitRunOut) {
  const int exe = testutil::OpenBuilt("FWAPPLY_SYSLOG_STANDIN", "../../tools/syslog-standin");
  if (exe < 0) GTEST_SKIP() << "no syslog-standin beside the tests";
  ChildResult r = RunIsolated([exe] {
    int out = -1;
    std::string ready;
    pid_t pid = StartStandin(exe, "--silent", &out, &ready);
    CHILD_CHECK(pid > 0);
    if (ready.empty()) {
      int st = 0;
      waitpid(pid, &st, 0);
      if (WIFEXITED(st) && WEXITSTATUS(st) == kNoStandin) return kNoStandin;
    }
    double t0 = Seconds();
    CHILD_CHECK_EQ(-1, Logger::SendLogByIPC(108, "d", "n", "t"));
    CHILD_CHECK(Seconds() - t0 >= 0.95);
    kill(pid, SIGINT);
    std::string lines = ReadRest(out);
    int st = 0;
    waitpid(pid, &st, 0);
    CHILD_CHECK(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    CHILD_CHECK_EQ(std::string("dgram 51 action=insertlog&logid=108&desc=d&note=n&logtype=t\\0\n"), lines);
    return 0;
  });
  close(exe);
  if (r.status == kNoStandin) GTEST_SKIP() << "syslog-standin cannot be started here";
  EXPECT_CHILD_OK(r);
}

namespace {

// Its exit status; one still running after five seconds is killed (a refusal is immediate).
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

// Started where the board's system-log service already runs, the stand-in must neither take over
// nor remove the service's socket file and queue.
TEST(SyslogStandin, NeverTakesOverOrRemovesTheServicesEndpoints) {
  const int exe = testutil::OpenBuilt(nullptr, "../../tools/syslog-standin");
  if (exe < 0) GTEST_SKIP() << "no syslog-standin beside the tests";
  struct Case {
    const char* what;
    bool socket, queue;
  } cases[] = {{"socket file", true, false}, {"queue", false, true}};
  for (const Case& c : cases) {
    ChildResult r = RunIsolated([&] {
      if (c.socket) testutil::WriteAll(kService, "");
      const int service = c.queue ? msgget(kKey, IPC_CREAT | 0666) : -1;
      const ino_t ino = Inode(kService);
      if (Status(testutil::Spawn(exe, {"syslog-standin"})) != 1) return 10;
      if (Inode(kService) != ino) return 11;      // not removed, not replaced
      if (msgget(kKey, 0) != service) return 12;  // the service's queue, or none
      return 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << c.what << r.err;
  }
  // Alone, it removes at its end only what it made: not a file put in place of its socket.
  ChildResult r = RunIsolated([&] {
    pid_t pid = testutil::Spawn(exe, {"syslog-standin"});
    for (int i = 0; i < 500 && (Inode(kService) == 0 || msgget(kKey, 0) < 0); ++i) usleep(10000);
    if (Inode(kService) == 0) return 20;
    unlink(kService);
    testutil::WriteAll(kService, "");
    kill(pid, SIGTERM);
    if (Status(pid) != 0) return 10;
    return Inode(kService) == 0 || msgget(kKey, 0) >= 0 ? 11 : 0;
  });
  close(exe);
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.err;
}
