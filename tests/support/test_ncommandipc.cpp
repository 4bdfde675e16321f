// Unix datagram command channel, against real sockets in a private /tmp.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "NCommandIPC.h"
#include "child_check.h"
#include "ipc_check.h"

using testutil::RunIsolated;

static bool IsSocket(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Standard input closed: the channel's socket is descriptor 0, as good as any other.
TEST(CommandIPC, SendAddsOneNulRecvCutsAndRepliesToTheLastSender) {
  EXPECT_CHILD_OK(RunIsolated([] {
    close(0);
    close(open("/tmp/me", O_CREAT | O_WRONLY, 0644));  // a stale file at our address is replaced
    {
      NCommandIPC ch("/tmp/me", "/tmp/peer");
      NCommandIPC peer("/tmp/peer", "/tmp/me"), third("/tmp/third", "/tmp/me");
      CHILD_CHECK(ch.GetFD() == 0 && IsSocket("/tmp/me"));
      char buf[2048];
      CHILD_CHECK_EQ(11, ch.Send("0123456789", 10));
      CHILD_CHECK(peer.Recv(buf, sizeof buf) == 11 &&
                  std::string(buf, 11) == std::string("0123456789\0", 11));
      CHILD_CHECK_EQ(3000, third.Send(std::string(2999, 'z').c_str(), 2999));
      CHILD_CHECK_EQ(1, ch.Wait(0, 200000));
      CHILD_CHECK_EQ(2047, ch.Recv(buf, sizeof buf));
      CHILD_CHECK_EQ(std::string(2047, 'z'), std::string(buf));
      // The rest of that datagram is gone; a failed receive keeps the peer it had.
      CHILD_CHECK(ch.Recv(buf, sizeof buf) < 0 && errno == EAGAIN);
      CHILD_CHECK_EQ(3, ch.Send("ok", 2));
      CHILD_CHECK(third.Recv(buf, sizeof buf) == 3 && std::string(buf) == "ok" && peer.Wait(0, 0) == 0);
      // Size 0 would ask the kernel for 4 GiB into the buffer: refused, the datagram kept.
      peer.Send("abc", 3);
      CHILD_CHECK(ch.Recv(buf, 0) == -1 && errno == EINVAL);
      CHILD_CHECK_EQ(0, ch.Recv(buf, 1));
    }
    CHILD_CHECK(fcntl(0, F_GETFD) == -1 && !IsSocket("/tmp/me"));
    return 0;
  }));
}

TEST(CommandIPC, FailuresReported) {
  testutil::ChildResult r = RunIsolated([] {
    NCommandIPC ch("/tmp/me", "/tmp/nobody");
    CHILD_CHECK(ch.Send("hello", 5) < 0 && errno == ENOENT);
    // No descriptor left for a fresh socket: the send fails.
    const rlimit lim = {64, 64};
    CHILD_CHECK_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));
    ch.destroySocket();
    int last = -1;
    for (int f; (f = open("/dev/null", O_RDONLY)) >= 0;) last = f;
    CHILD_CHECK_EQ(-1, ch.Send("x", 1));
    for (int f = last; f > last - 4; --f) close(f);  // the sanitizers' own checks need a few
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_NE(std::string::npos,
            r.err.find("NCommandIPC send error. errno:2. local:/tmp/me. remote:/tmp/nobody. msg:hello.\n"))
      << r.err;
  // sun_path holds 107 bytes and the terminator: one more aborts rather than overrun it.
  const std::string over = "/tmp/" + std::string(103, 'p');
  EXPECT_EQ(SIGABRT, testutil::RunChild([&] { return NCommandIPC(over.c_str(), nullptr), 0; }).signal);
}
