// Unix datagram command channel, against real sockets in a private /tmp.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "NCommandIPC.h"
#include "child_check.h"
#include "ipc_check.h"
#include "private_ns.h"

using ipccheck::Seconds;
using testutil::RunIsolated;

namespace {

sockaddr_un Addr(const char* path) {
  sockaddr_un a = {AF_UNIX, {}};
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
  return a;
}

// A plain datagram socket bound at path, standing for the peer.
int BoundSocket(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  const sockaddr_un a = Addr(path);
  unlink(path);
  return fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}

int SendTo(int fd, const char* path, const std::string& data) {
  const sockaddr_un a = Addr(path);
  return int(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a));
}

std::string RecvAll(int fd) {
  char buf[8192];
  const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n < 0 ? "<none>" : std::string(buf, size_t(n));
}

// 's' for a socket at path, '-' for nothing there, '?' for anything else.
char Kind(const char* path) {
  struct stat st;
  return lstat(path, &st) != 0 ? (errno == ENOENT ? '-' : '?') : S_ISSOCK(st.st_mode) ? 's' : '?';
}

}  // namespace

TEST(CommandIPC, SendAddsOneNulRecvCutsAtSizeMinusOne) {
  EXPECT_CHILD_OK(RunIsolated([] {
    int peer = BoundSocket("/tmp/peer");
    NCommandIPC ch("/tmp/me", "/tmp/peer");
    CHILD_CHECK_EQ(11, ch.Send("0123456789", 10));
    CHILD_CHECK_EQ(std::string("0123456789\0", 11), RecvAll(peer));
    CHILD_CHECK_EQ(1, ch.Send("", 0));  // the terminator alone
    CHILD_CHECK_EQ(std::string("\0", 1), RecvAll(peer));
    CHILD_CHECK_EQ(3000, SendTo(peer, "/tmp/me", std::string(3000, 'z')));
    CHILD_CHECK_EQ(3000, ch.getNumData());
    char buf[2048];
    CHILD_CHECK_EQ(2047, ch.Recv(buf, sizeof buf));
    CHILD_CHECK_EQ(std::string(2047, 'z'), std::string(buf));
    // The rest of that datagram is gone; nothing else is waiting.
    CHILD_CHECK(ch.Recv(buf, sizeof buf) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    // Size 0 would ask the kernel for 4 GiB into the buffer: refused, the datagram kept.
    SendTo(peer, "/tmp/me", "abcde");
    buf[0] = 'G';
    CHILD_CHECK(ch.Recv(buf, 0) == -1 && errno == EINVAL && buf[0] == 'G');
    CHILD_CHECK_EQ(5, ch.Recv(buf, sizeof buf));
    CHILD_CHECK_EQ(std::string("abcde"), std::string(buf));
    SendTo(peer, "/tmp/me", "abc");
    CHILD_CHECK_EQ(0, ch.Recv(buf, 1));  // room for the terminator only
    CHILD_CHECK_EQ('\0', buf[0]);
    return 0;
  }));
}

TEST(CommandIPC, WaitTimesOutOrReportsData) {
  EXPECT_CHILD_OK(RunIsolated([] {
    NCommandIPC none(nullptr, "/tmp/peer");
    none.destroySocket();
    CHILD_CHECK_EQ(-1, none.GetFD());
    double t0 = Seconds();
    CHILD_CHECK_EQ(0, none.Wait(0, 300000));  // without a socket the wait simply runs out
    CHILD_CHECK(Seconds() - t0 >= 0.25);
    CHILD_CHECK_EQ(-1, none.Recv(nullptr, 10));
    // Every low descriptor taken: the socket lands above FD_SETSIZE, where select cannot go.
    rlimit lim;
    CHILD_CHECK_EQ(0, getrlimit(RLIMIT_NOFILE, &lim));
    if (lim.rlim_max < FD_SETSIZE + 16) return 0;
    lim.rlim_cur = FD_SETSIZE + 16;
    CHILD_CHECK_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < FD_SETSIZE) {
    }
    int peer = BoundSocket("/tmp/peer");
    NCommandIPC ch("/tmp/me", "/tmp/peer");
    CHILD_CHECK(fd >= FD_SETSIZE && ch.GetFD() >= FD_SETSIZE);
    t0 = Seconds();
    CHILD_CHECK_EQ(0, ch.Wait(0, 200000));
    CHILD_CHECK(Seconds() - t0 >= 0.15);
    SendTo(peer, "/tmp/me", "x");
    t0 = Seconds();
    CHILD_CHECK_EQ(1, ch.Wait(5, 0));
    CHILD_CHECK(Seconds() - t0 < 1.0);
    // No descriptor left for a fresh socket: the send fails.
    ch.destroySocket();
    int last = -1;
    for (int f; (f = open("/dev/null", O_RDONLY)) >= 0;) last = f;
    CHILD_CHECK_EQ(-1, ch.Send("x", 1));
    for (int f = last; f > last - 4; --f) close(f);  // the sanitizers' own checks need a few
    return 0;
  }));
}

// A process started with standard input closed gets its socket on descriptor 0, which is as
// good a socket as any other: it sends, waits, receives, keeps its address and is closed.
TEST(CommandIPC, SocketOnDescriptorZero) {
  EXPECT_CHILD_OK(RunIsolated([] {
    close(0);
    {
      NCommandIPC ch("/tmp/me", "/tmp/peer");
      int peer = BoundSocket("/tmp/peer");
      CHILD_CHECK_EQ(3, ch.Send("hi", 2));
      CHILD_CHECK_EQ(std::string("hi\0", 3), RecvAll(peer));
      CHILD_CHECK_EQ('s', Kind("/tmp/me"));
      CHILD_CHECK_EQ(1, SendTo(peer, "/tmp/me", "x"));
      CHILD_CHECK_EQ(1, ch.Wait(0, 200000));
      char buf[8];
      CHILD_CHECK_EQ(1, ch.Recv(buf, sizeof buf));
      CHILD_CHECK_EQ(0, ch.GetFD());
    }
    CHILD_CHECK(fcntl(0, F_GETFD) == -1 && errno == EBADF);
    CHILD_CHECK_EQ('-', Kind("/tmp/me"));
    return 0;
  }));
}

TEST(CommandIPC, SocketFileLivesFromConnectToDestruction) {
  EXPECT_CHILD_OK(RunIsolated([] {
    // A stale regular file, or a stale socket of a crashed process, at our address is replaced.
    close(open("/tmp/me", O_CREAT | O_WRONLY, 0644));
    {
      NCommandIPC ch("/tmp/me", "/tmp/peer");
      CHILD_CHECK_EQ('s', Kind("/tmp/me"));
      // A second Connect moves the object to a new address and clears the old one.
      CHILD_CHECK(ch.Connect("/tmp/me2", "/tmp/peer") >= 0);
      CHILD_CHECK(Kind("/tmp/me") == '-' && Kind("/tmp/me2") == 's');
    }
    CHILD_CHECK_EQ('-', Kind("/tmp/me2"));
    close(BoundSocket("/tmp/me"));
    {
      NCommandIPC ch("/tmp/me", "/tmp/peer");
      int peer = BoundSocket("/tmp/peer");
      CHILD_CHECK_EQ(1, SendTo(peer, "/tmp/me", "x"));
      char buf[8];
      CHILD_CHECK_EQ(1, ch.Recv(buf, sizeof buf));
    }
    CHILD_CHECK_EQ('-', Kind("/tmp/me"));
    return 0;
  }));
}

TEST(CommandIPC, ReplyGoesToTheLastSender) {
  EXPECT_CHILD_OK(RunIsolated([] {
    int peer = BoundSocket("/tmp/peer"), third = BoundSocket("/tmp/third");
    NCommandIPC ch("/tmp/me", "/tmp/peer");
    SendTo(third, "/tmp/me", "ask");
    char buf[16];
    CHILD_CHECK_EQ(3, ch.Recv(buf, sizeof buf));
    CHILD_CHECK_EQ(std::string("/tmp/third"), ch.GetRemotePath());
    // A failed receive leaves the peer as it was.
    CHILD_CHECK(ch.Recv(buf, sizeof buf) < 0);
    CHILD_CHECK_EQ(3, ch.Send("ok", 2));
    CHILD_CHECK_EQ(std::string("ok\0", 3), RecvAll(third));
    CHILD_CHECK_EQ(std::string("<none>"), RecvAll(peer));
    return 0;
  }));
}

TEST(CommandIPC, FailuresArePrintedAndRecovered) {
  testutil::ChildResult r = RunIsolated([] {
    NCommandIPC nobody("/tmp/me", "/tmp/nobody");
    CHILD_CHECK(nobody.Send("hello", 5) < 0 && errno == ENOENT);
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
    CHILD_CHECK(ch.Send("x", 1) < 0 && ch.GetFD() >= 0);
    return 0;
  });
  EXPECT_CHILD_OK(r);
  for (const char* line : {"NCommandIPC send error. errno:2. local:/tmp/me. remote:/tmp/nobody. msg:hello.\n",
                           "NDGramIPC: bind error.: No such file or directory",
                           "NDGramIPC: GetNumData error.: Bad file descriptor"})
    EXPECT_NE(std::string::npos, r.err.find(line)) << line << r.err;
}

TEST(CommandIPC, PathTooLongOrMissingAborts) {
  const std::string limit = "/tmp/" + std::string(102, 'p');  // 107 bytes: the longest allowed
  const std::string over = limit + "q";
  EXPECT_CHILD_OK(RunIsolated([&] {
    NCommandIPC ch(limit.c_str(), nullptr);
    CHILD_CHECK_EQ('s', Kind(limit.c_str()));
    return 0;
  }));
  const char* none = nullptr;
  for (auto paths : {std::make_pair(over.c_str(), none), {none, over.c_str()}, {none, none}})
    EXPECT_EQ(SIGABRT, testutil::RunChild([&] { return NCommandIPC(paths.first, paths.second), 0; }).signal);
}
