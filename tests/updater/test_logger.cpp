// Event sender, in private IPC and mount namespaces so that the board's socket paths and queue
// key are ours alone.
#include <errno.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "../../updater/Logger.h"
#include "child.h"
#include "child_check.h"
#include "ipc_check.h"

using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const char kService[] = "/tmp/ZQ_SYSTEMLOG";
const char kSender[] = "/tmp/ZQ_FW_UPDATE_SENDER";
const key_t kKey = 0x106;
const std::string kDgram = "action=insertlog&logid=108&desc=Firmware Update failed&note=";
const std::string kMsg = "event=addlog&id=108&desc=Firmware update failed&note=";
const std::string kNul(1, '\0');

int BindService() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", kService);
  return fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Now() {
  char buf[64];
  const time_t t = time(nullptr);
  strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", gmtime(&t));
  return buf;
}

}  // namespace

// The datagram ends in its NUL; the queue's message is of type 1 and carries the time of sending.
// A service that answers nothing is waited on for one second; one that is not there is reported.
TEST(LoggerEvent, BothChannelsExactBytes) {
  const std::string n3000(3000, 'n');
  const struct {
    bool service;
    const char* note;
    std::string dgram, msg, err;  // msg without its time
  } cases[] = {
      {true, "N", kDgram + "N&logtype=System" + kNul, kMsg + "N&type=System&time=", ""},
      {true, n3000.c_str(), kDgram + std::string(2048 - kDgram.size() - 1, 'n') + kNul,
       kMsg + std::string(2047 - kMsg.size(), 'n'), ""},  // cut to the event buffer
      {false, "v2.1 required", "<none>", "<none>",
       "NCommandIPC send error. errno:2. local:/tmp/ZQ_FW_UPDATE_SENDER. remote:/tmp/ZQ_SYSTEMLOG. msg:" +
           kDgram + "v2.1 required&logtype=System.\n"},
  };
  for (const auto& c : cases) {
    ChildResult r = RunIsolated([&c] {
      setenv("TZ", "UTC0", 1);
      const int service = c.service ? BindService() : -1,
                queue = c.service ? msgget(kKey, 0777 | IPC_CREAT) : -1;
      CHILD_CHECK(service >= 0 || !c.service);
      const std::string before = Now();
      const double t0 = Seconds();
      CHILD_CHECK_EQ(0, Logger::write(c.note));
      const double took = Seconds() - t0;
      const std::string after = Now();
      CHILD_CHECK(!c.service || (took >= 0.95 && took < 3.0));
      char buf[8192];
      ssize_t n = c.service ? recv(service, buf, sizeof buf, MSG_DONTWAIT) : -1;
      CHILD_CHECK(c.dgram == (n < 0 ? "<none>" : std::string(buf, static_cast<size_t>(n))));
      CHILD_CHECK(!c.service || recv(service, buf, sizeof buf, MSG_DONTWAIT) < 0);
      struct {
        long mtype;
        char mtext[8192];
      } m = {};
      n = c.service ? msgrcv(queue, &m, sizeof m.mtext, 0, IPC_NOWAIT) : -1;
      const std::string msg = n < 0 ? "<none>" : std::string(m.mtext, static_cast<size_t>(n));
      const bool timed = c.msg.size() > 5 && c.msg.compare(c.msg.size() - 5, 5, "time=") == 0;
      CHILD_CHECK(msg == c.msg || (timed && (msg == c.msg + before || msg == c.msg + after)));
      CHILD_CHECK(n < 0 || m.mtype == 1);
      CHILD_CHECK(c.service || (msgget(kKey, 0) < 0 && errno == ENOENT));
      CHILD_CHECK(access(kSender, F_OK) != 0);
      return 0;
    });
    SCOPED_TRACE(c.note);
    EXPECT_CHILD_OK(r);
    EXPECT_TRUE(c.err.empty() ? r.err.empty() : r.err.find(c.err) != std::string::npos) << r.err;
  }
}

TEST(LoggerTime, ZoneChangesAndSmallBuffers) {
  ChildResult r = testutil::RunChild([] {
    char buf[256];
    setenv("TZ", "UTC0", 1);
    Logger::FormatTime(1700000000, buf, 8);  // cut, and terminated
    CHILD_CHECK_EQ(std::string("2023/11"), buf);
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // noticed without an explicit tzset
    Logger::FormatTime(1690000000, buf, sizeof buf);
    CHILD_CHECK_EQ(std::string("2023/07/22 06:26:40d"), buf);
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}
