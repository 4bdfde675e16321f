// Unix datagram command channel, against real sockets in a private /tmp.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "NModuleInterface.h"
#include "child.h"
#include "child_check.h"
#include "ipc_check.h"
#include "private_ns.h"

using ipccheck::Seconds;
using testutil::ChildResult;
using testutil::RunChild;
using testutil::RunIsolated;

namespace {

// A plain datagram socket bound at path, standing for the peer.
int BoundSocket(const char* path) {
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
  unlink(path);
  if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return -1;
  return fd;
}

ssize_t SendTo(int fd, const char* path, const void* data, size_t len) {
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
  return sendto(fd, data, len, 0, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
}

std::string RecvAll(int fd) {
  char buf[8192];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

bool IsSocket(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

bool Missing(const char* path) {
  struct stat st;
  return lstat(path, &st) != 0 && errno == ENOENT;
}

}  // namespace

TEST(CommandIPC, SendAddsOneNulRecvCutsAtSizeMinusOne) {
  ChildResult r = RunIsolated([] {
    int peer = BoundSocket("/tmp/peer");
    CHILD_CHECK(peer >= 0);
    NCommandIPC ch("/tmp/me", "/tmp/peer");
    CHILD_CHECK_EQ(11, ch.Send("0123456789", 10));
    CHILD_CHECK_EQ(std::string("0123456789\0", 11), RecvAll(peer));
    // A zero-length text still carries its terminator.
    CHILD_CHECK_EQ(1, ch.Send("", 0));
    CHILD_CHECK_EQ(std::string("\0", 1), RecvAll(peer));

    std::string big(3000, 'z');
    CHILD_CHECK_EQ(3000, static_cast<int>(SendTo(peer, "/tmp/me", big.data(), big.size())));
    CHILD_CHECK_EQ(3000, ch.getNumData());
    char buf[2048];
    memset(buf, 'X', sizeof buf);
    CHILD_CHECK_EQ(2047, ch.Recv(buf, sizeof buf));
    CHILD_CHECK_EQ(std::string(2047, 'z'), std::string(buf));
    // The rest of that datagram is gone; nothing else is waiting.
    errno = 0;
    CHILD_CHECK(ch.Recv(buf, sizeof buf) < 0);
    CHILD_CHECK(errno == EAGAIN || errno == EWOULDBLOCK);

    // Size 0 would otherwise ask the kernel for 4 GiB into the buffer: refused, and the
    // datagram is still there for a proper read.
    CHILD_CHECK_EQ(5, static_cast<int>(SendTo(peer, "/tmp/me", "abcde", 5)));
    buf[0] = 'G';
    CHILD_CHECK_EQ(-1, ch.Recv(buf, 0));
    CHILD_CHECK_EQ(EINVAL, errno);
    CHILD_CHECK_EQ('G', buf[0]);
    CHILD_CHECK_EQ(5, ch.Recv(buf, sizeof buf));
    CHILD_CHECK_EQ(std::string("abcde"), std::string(buf));

    // Room for the terminator only: the datagram yields nothing but the NUL.
    SendTo(peer, "/tmp/me", "abc", 3);
    buf[0] = 'X';
    CHILD_CHECK_EQ(0, ch.Recv(buf, 1));
    CHILD_CHECK_EQ('\0', buf[0]);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(CommandIPC, WaitTimesOutOrReportsData) {
  ChildResult r = RunIsolated([] {
    // Without a socket the wait simply runs out.
    NCommandIPC none(nullptr, "/tmp/peer");
    none.destroySocket();
    CHILD_CHECK_EQ(-1, none.GetFD());
    double t0 = Seconds();
    CHILD_CHECK_EQ(0, none.Wait(0, 300000));
    CHILD_CHECK(Seconds() - t0 >= 0.25);
    CHILD_CHECK_EQ(-1, none.Recv(nullptr, 10));

    // Occupy every low descriptor so that the channel's socket lands above FD_SETSIZE.
    struct rlimit lim;
    CHILD_CHECK_EQ(0, getrlimit(RLIMIT_NOFILE, &lim));
    if (lim.rlim_max < FD_SETSIZE + 16) return 0;
    lim.rlim_cur = FD_SETSIZE + 16;
    CHILD_CHECK_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < FD_SETSIZE) {
    }
    CHILD_CHECK(fd >= FD_SETSIZE);
    int peer = BoundSocket("/tmp/peer");
    NCommandIPC ch("/tmp/me", "/tmp/peer");
    CHILD_CHECK(ch.GetFD() >= FD_SETSIZE);
    t0 = Seconds();
    CHILD_CHECK_EQ(0, ch.Wait(0, 200000));
    CHILD_CHECK(Seconds() - t0 >= 0.15);
    SendTo(peer, "/tmp/me", "x", 1);
    t0 = Seconds();
    CHILD_CHECK_EQ(1, ch.Wait(5, 0));
    CHILD_CHECK(Seconds() - t0 < 1.0);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(CommandIPC, SocketFileLivesFromConnectToDestruction) {
  ChildResult r = RunIsolated([] {
    // A stale regular file at our address is replaced by the socket.
    int stale = open("/tmp/me", O_CREAT | O_WRONLY, 0644);
    CHILD_CHECK(stale >= 0);
    close(stale);
    {
      NCommandIPC ch("/tmp/me", "/tmp/peer");
      CHILD_CHECK(IsSocket("/tmp/me"));
      // A second Connect moves the object to a new address and clears the old one.
      CHILD_CHECK(ch.Connect("/tmp/me2", "/tmp/peer") >= 0);
      CHILD_CHECK(Missing("/tmp/me"));
      CHILD_CHECK(IsSocket("/tmp/me2"));
    }
    CHILD_CHECK(Missing("/tmp/me2"));
    // A stale socket left by a crashed process is replaced too.
    int old = BoundSocket("/tmp/me");
    close(old);
    {
      NCommandIPC ch("/tmp/me", "/tmp/peer");
      CHILD_CHECK(IsSocket("/tmp/me"));
      int peer = BoundSocket("/tmp/peer");
      CHILD_CHECK_EQ(3, ch.Send("hi", 2));
      char buf[8];
      CHILD_CHECK_EQ(3, static_cast<int>(recv(peer, buf, sizeof buf, MSG_DONTWAIT)));
    }
    CHILD_CHECK(Missing("/tmp/me"));
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(CommandIPC, ReplyGoesToTheLastSender) {
  ChildResult r = RunIsolated([] {
    int peer = BoundSocket("/tmp/peer");
    int third = BoundSocket("/tmp/third");
    NCommandIPC ch("/tmp/me", "/tmp/peer");
    SendTo(third, "/tmp/me", "ask", 3);
    char buf[16];
    CHILD_CHECK_EQ(3, ch.Recv(buf, sizeof buf));
    CHILD_CHECK_EQ(std::string("/tmp/third"), ch.GetRemotePath());
    CHILD_CHECK_EQ(3, ch.Send("ok", 2));
    CHILD_CHECK_EQ(std::string("ok\0", 3), RecvAll(third));
    CHILD_CHECK_EQ(std::string("<none>"), RecvAll(peer));
    // A failed receive leaves the peer as it was.
    CHILD_CHECK(ch.Recv(buf, sizeof buf) < 0);
    CHILD_CHECK_EQ(3, ch.Send("ok", 2));
    CHILD_CHECK_EQ(std::string("ok\0", 3), RecvAll(third));
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(CommandIPC, FailuresArePrintedAndRecovered) {
  ChildResult r = RunIsolated([] {
    NCommandIPC nobody("/tmp/me", "/tmp/nobody");
    CHILD_CHECK(nobody.Send("hello", 5) < 0);
    CHILD_CHECK_EQ(ENOENT, errno);
    // Without its own address the channel still sends.
    int peer = BoundSocket("/tmp/peer");
    NCommandIPC unbound("/tmp/no/such/dir/me", "/tmp/peer");
    CHILD_CHECK_EQ(4, unbound.Send("abc", 3));
    CHILD_CHECK_EQ(std::string("abc\0", 4), RecvAll(peer));
    NCommandIPC ch("/tmp/me2", nullptr);
    CHILD_CHECK_EQ(0, ch.getNumData());
    ch.destroySocket();
    CHILD_CHECK_EQ(-1, ch.getNumData());
    // Send makes a fresh, unbound socket when there is none.
    CHILD_CHECK(ch.Send("x", 1) < 0);
    CHILD_CHECK(ch.GetFD() >= 0);
    return 0;
  });
  EXPECT_CHILD_OK(r);
  for (const char* line : {"NCommandIPC send error. errno:2. local:/tmp/me. remote:/tmp/nobody. msg:hello.\n",
                           "NDGramIPC: bind error.: No such file or directory",
                           "NDGramIPC: GetNumData error.: Bad file descriptor"})
    EXPECT_NE(std::string::npos, r.err.find(line)) << line << r.err;
}

TEST(CommandIPC, PathTooLongOrMissingAborts) {
  std::string limit = "/tmp/" + std::string(102, 'p');  // 107 bytes: the longest allowed
  std::string over = limit + "q";                         // 108 bytes
  ChildResult ok = RunIsolated([&] {
    NCommandIPC ch(limit.c_str(), nullptr);
    CHILD_CHECK(IsSocket(limit.c_str()));
    return 0;
  });
  EXPECT_CHILD_OK(ok);

  // Too long a local or remote path, or neither path.
  for (auto paths : {std::make_pair(over.c_str(), static_cast<const char*>(nullptr)),
                     std::make_pair(static_cast<const char*>(nullptr), over.c_str()),
                     std::make_pair(static_cast<const char*>(nullptr), static_cast<const char*>(nullptr))}) {
    ChildResult r = RunChild([&] {
      NCommandIPC ch(paths.first, paths.second);
      return 0;
    });
    EXPECT_EQ(SIGABRT, r.signal);
  }
}
