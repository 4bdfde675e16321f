#include "NCommandIPC.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

// Programming errors with constant arguments: checked in every build type, because the
// release build's NDEBUG would otherwise let an overlong path run past sun_path.
#define NIPC_REQUIRE(cond)                                                                         \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__, #cond); \
      abort();                                                                                     \
    }                                                                                              \
  } while (0)

NCommandIPC::NCommandIPC(const char* sLocalPath, const char* sRemotePath)
    : m_socket(-1), m_localLen(0), m_remoteLen(0) {
  m_sBoundPath[0] = '\0';
  memset(&m_unaddrLocal, 0, sizeof m_unaddrLocal);
  memset(&m_unaddrRemote, 0, sizeof m_unaddrRemote);
  Connect(sLocalPath, sRemotePath);
}

NCommandIPC::~NCommandIPC() { destroySocket(); }

int NCommandIPC::Connect(const char* sLocalPath, const char* sRemotePath) {
  // A socket left from an earlier Connect is closed (and its file removed) by createSocket.
  m_localLen = 0;
  m_remoteLen = 0;
  NIPC_REQUIRE(sLocalPath != nullptr || sRemotePath != nullptr);
  if (createSocket() < 0) {
    memset(&m_unaddrLocal, 0, sizeof m_unaddrLocal);
    memset(&m_unaddrRemote, 0, sizeof m_unaddrRemote);
    return -1;
  }
  memset(&m_unaddrLocal, 0, sizeof m_unaddrLocal);
  memset(&m_unaddrRemote, 0, sizeof m_unaddrRemote);
  if (sRemotePath) {
    size_t n = strlen(sRemotePath);
    NIPC_REQUIRE(n < kMaxPath);
    m_unaddrRemote.sun_family = AF_UNIX;
    memcpy(m_unaddrRemote.sun_path, sRemotePath, n + 1);
    m_remoteLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n);
  }
  if (sLocalPath) {
    size_t n = strlen(sLocalPath);
    NIPC_REQUIRE(n < kMaxPath);
    // A file left by an earlier process at our address would make bind fail.
    unlink(sLocalPath);
    memcpy(m_sBoundPath, sLocalPath, n + 1);
    m_unaddrLocal.sun_family = AF_UNIX;
    memcpy(m_unaddrLocal.sun_path, sLocalPath, n + 1);
    m_localLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n);
    bind();
  }
  return m_socket;
}

int NCommandIPC::createSocket() {
  destroySocket();
  m_socket = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (m_socket < 0) {
    perror("NDGramIPC: Unsupported Unix Socket.");
    m_socket = -1;
    return -1;
  }
  return m_socket;
}

int NCommandIPC::bind() {
  if (::bind(m_socket, reinterpret_cast<struct sockaddr*>(&m_unaddrLocal), m_localLen) != 0)
    perror("NDGramIPC: bind error.");
  // Unbound, the socket can still send; only answers cannot reach it.
  return m_socket;
}

void NCommandIPC::destroySocket() {
  if (m_socket >= 0) {
    ::close(m_socket);
    m_socket = -1;
  }
  if (m_sBoundPath[0]) {
    unlink(m_sBoundPath);
    m_sBoundPath[0] = '\0';
  }
}

int NCommandIPC::Send(const char* buf, unsigned int len) {
  if (m_socket < 0 && createSocket() < 0) return -1;
  ssize_t n = sendto(m_socket, buf, static_cast<size_t>(len) + 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<struct sockaddr*>(&m_unaddrRemote), m_remoteLen);
  if (n < 0) {
    int err = errno;
    fprintf(stderr, "NCommandIPC send error. errno:%d. local:%s. remote:%s. msg:%s.\n", err,
            m_unaddrLocal.sun_path, m_unaddrRemote.sun_path, buf ? buf : "(null)");
    errno = err;
    return static_cast<int>(n);
  }
  return static_cast<int>(n);
}

int NCommandIPC::Wait(unsigned int sec, unsigned int usec) {
  if (m_socket >= FD_SETSIZE) {
    // FD_SET on such a descriptor would write past the fd_set.
    struct pollfd p = {m_socket, POLLIN, 0};
    unsigned long long ms = static_cast<unsigned long long>(sec) * 1000u + (usec + 999u) / 1000u;
    return poll(&p, 1, ms > 0x7fffffffULL ? 0x7fffffff : static_cast<int>(ms));
  }
  fd_set readable;
  FD_ZERO(&readable);
  if (m_socket >= 0) FD_SET(m_socket, &readable);
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(sec);
  tv.tv_usec = static_cast<suseconds_t>(usec);
  return select(m_socket + 1, &readable, nullptr, nullptr, &tv);
}

int NCommandIPC::Recv(char* buf, unsigned int size) {
  if (m_socket < 0) return -1;
  if (!buf || size == 0) {
    // No room for the terminator: size - 1 would wrap around to a huge read.
    errno = EINVAL;
    return -1;
  }
  struct sockaddr_un from;
  memset(&from, 0, sizeof from);
  socklen_t fromLen = sizeof from;
  ssize_t n =
      recvfrom(m_socket, buf, size - 1, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &fromLen);
  if (n < 0) return static_cast<int>(n);
  // Answers go to whoever spoke last.
  m_unaddrRemote = from;
  m_remoteLen = fromLen;
  buf[n] = '\0';
  return static_cast<int>(n);
}

int NCommandIPC::getNumData() {
  int pending = 0;
  if (ioctl(m_socket, FIONREAD, &pending) != 0) {
    perror("NDGramIPC: GetNumData error.");
    return -1;
  }
  return pending;
}
