// syslog-standin: plays the board's system-log service for tests and bench runs.
//
// Usage: syslog-standin [--silent] [--once | --count N] [--help]
//
// Binds the Unix datagram socket /tmp/ZQ_SYSTEMLOG and creates (or opens) the SysV message
// queue with key 0x106, then prints every event arriving on either channel, one line each,
// to standard output (line-buffered):
//
//   ready socket=/tmp/ZQ_SYSTEMLOG key=0x106 msqid=<id>
//   dgram <len> <text>
//   msgq type=<type> size=<size> <text>
//
// <len> and <size> are byte counts; <text> is the payload with backslash, control and
// non-ASCII bytes escaped (\\, \n, \r, \t, \0, \xHH), so a datagram's terminating NUL shows
// as a trailing \0. Each datagram is answered with "ok" (three bytes with its NUL) unless
// --silent is given, which lets the sender's one-second wait run out. --count N exits after
// N events (both channels counted), --once after one. SIGTERM or SIGINT removes the socket
// file and the queue and exits 0, as does reaching the count.
//
// It never takes over the board's own service: when the socket file or the queue already
// exists it says so and exits 1, and at its end it removes only the endpoints it created.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "Board.h"
#include "NMQueue.h"

namespace {

// The updater's own endpoints, so the two cannot drift apart.
const char* const kSocketPath = board_default().log_service;
const int kQueueKey = board_default().log_queue_key;

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

std::string Escape(const char* data, size_t len) {
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char hex[8];
          snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

void Usage(FILE* to) {
  fprintf(to,
          "Usage: syslog-standin [--silent] [--once | --count N] [--help]\n"
          "Stands in for the system-log service: binds %s and queue key 0x%x,\n"
          "prints 'dgram <len> <text>' and 'msgq type=<t> size=<n> <text>' per event\n"
          "(bytes escaped, NUL as \\0), answers each datagram with \"ok\".\n"
          "  --silent   never answer datagrams\n"
          "  --once     exit after the first event\n"
          "  --count N  exit after N events\n"
          "SIGTERM/SIGINT remove the socket file and the queue and exit 0.\n",
          kSocketPath, kQueueKey);
}

// The command line into silent and count; 0 to go on, else the status to end with.
int ParseArgs(int argc, char** argv, bool* silent, long* count) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--silent") == 0) {
      *silent = true;
    } else if (strcmp(argv[i], "--once") == 0) {
      *count = 1;
    } else if (strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      *count = strtol(argv[++i], &end, 10);
      if (errno != 0 || !end || *end != '\0' || *count < 1) {
        fprintf(stderr, "syslog-standin: bad count '%s'\n", argv[i]);
        return 2;
      }
    } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      Usage(stdout);
      return -1;
    } else {
      Usage(stderr);
      return 2;
    }
  }
  return 0;
}

// Binds the service's socket path; the socket, or -1 after the message. bind fails on an
// existing file: whatever is at the path, it is left alone.
int BindService(struct stat* bound) {
  const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  // The board's path is short; a longer one would be cut here rather than overrun the field.
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kSocketPath);
  if (sock < 0 || bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      lstat(kSocketPath, bound) != 0) {
    fprintf(stderr, "syslog-standin: %s: %s (is the system-log service running?)\n", kSocketPath,
            strerror(errno));
    if (sock >= 0) close(sock);
    return -1;
  }
  return sock;
}

// Prints events from both channels until a signal or count events; answers datagrams unless
// silent.
void Serve(int sock, int queue, bool silent, long count) {
  long seen = 0;
  // One byte beyond the largest datagram we take keeps room for a terminator.
  static char dgram[65536 + 1];
  static NSysVMsg msg;
  while (!gStop && (count < 0 || seen < count)) {
    struct pollfd p = {sock, POLLIN, 0};
    // msgrcv cannot be polled: look at the queue between short socket waits.
    struct sockaddr_un from;
    socklen_t from_len = sizeof from;
    ssize_t n = poll(&p, 1, 20) > 0 && (p.revents & POLLIN)
                    ? recvfrom(sock, dgram, sizeof dgram - 1, MSG_DONTWAIT,
                               reinterpret_cast<struct sockaddr*>(&from), &from_len)
                    : -1;
    if (n >= 0) {
      printf("dgram %zd %s\n", n, Escape(dgram, static_cast<size_t>(n)).c_str());
      ++seen;
      // "ok" with its NUL, to whoever spoke.
      if (!silent)
        sendto(sock, "ok", 3, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&from),
               from_len);
    }
    // An oversized message is cut rather than left to block the queue.
    while (!gStop && (count < 0 || seen < count) &&
           (n = msgrcv(queue, &msg, NSysVMsg::kTextSize, 0, IPC_NOWAIT | MSG_NOERROR)) >= 0) {
      printf("msgq type=%ld size=%zd %s\n", msg.mtype, n, Escape(msg.mtext, static_cast<size_t>(n)).c_str());
      ++seen;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool silent = false;
  long count = -1;
  if (int rc = ParseArgs(argc, argv, &silent, &count)) return rc < 0 ? 0 : rc;
  setvbuf(stdout, nullptr, _IOLBF, 0);

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: the signal must break the poll below.
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  // Created exclusively: a queue that exists belongs to the running service.
  const int queue = msgget(kQueueKey, IPC_CREAT | IPC_EXCL | 0666);
  if (queue < 0) {
    fprintf(stderr, "syslog-standin: queue 0x%x: %s (is the system-log service running?)\n", kQueueKey,
            strerror(errno));
    return 1;
  }
  struct stat bound;
  const int sock = BindService(&bound);
  if (sock < 0) {
    msgctl(queue, IPC_RMID, nullptr);
    return 1;
  }
  printf("ready socket=%s key=0x%x msqid=%d\n", kSocketPath, kQueueKey, queue);
  Serve(sock, queue, silent, count);
  close(sock);
  // Only the socket file this run bound: one put there since by someone else stays.
  struct stat now;
  if (lstat(kSocketPath, &now) == 0 && now.st_dev == bound.st_dev && now.st_ino == bound.st_ino)
    unlink(kSocketPath);
  msgctl(queue, IPC_RMID, nullptr);
  return 0;
}
