// syslog-standin started where the board's system-log service already runs: it must neither
// take over nor remove the service's socket file and queue.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "private_ns.h"

using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const char kSocket[] = "/tmp/ZQ_SYSTEMLOG";
const key_t kKey = 0x106;

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

TEST(SyslogStandin, NeverTakesOverOrRemovesTheServicesEndpoints) {
  const int exe = testutil::OpenBuilt(nullptr, "../../tools/syslog-standin");
  if (exe < 0) GTEST_SKIP() << "no syslog-standin beside the tests";
  struct Case {
    const char* what;
    bool socket, queue;
  } cases[] = {{"socket file", true, false}, {"queue", false, true}};
  for (const Case& c : cases) {
    ChildResult r = RunIsolated([&] {
      if (c.socket) testutil::WriteAll(kSocket, "");
      const int service = c.queue ? msgget(kKey, IPC_CREAT | 0666) : -1;
      const ino_t ino = Inode(kSocket);
      if (Status(testutil::Spawn(exe, {"syslog-standin"})) != 1) return 10;
      if (Inode(kSocket) != ino) return 11;  // not removed, not replaced
      if (msgget(kKey, 0) != service) return 12;  // the service's queue, or none
      return 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << c.what << r.err;
  }
  // Alone, it removes at its end only what it made: not a file put in place of its socket.
  ChildResult r = RunIsolated([&] {
    pid_t pid = testutil::Spawn(exe, {"syslog-standin"});
    for (int i = 0; i < 500 && (Inode(kSocket) == 0 || msgget(kKey, 0) < 0); ++i) usleep(10000);
    if (Inode(kSocket) == 0) return 20;
    unlink(kSocket);
    testutil::WriteAll(kSocket, "");
    kill(pid, SIGTERM);
    if (Status(pid) != 0) return 10;
    return Inode(kSocket) == 0 || msgget(kKey, 0) >= 0 ? 11 : 0;
  });
  close(exe);
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.err;
}
