// Timing and the plainest possible flash access for the board benchmark: one
// ioctl per eraseblock, one MEMWRITE per page, nothing else.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int Time(char** argv) {
  double t0 = Now();
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 1;
  }
  if (pid == 0) {
    execvp(argv[0], argv);
    perror(argv[0]);
    _exit(127);
  }
  int st = 0;
  if (waitpid(pid, &st, 0) < 0) {
    perror("waitpid");
    return 1;
  }
  std::printf("%.6f\n", Now() - t0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}

static int Erase(const char* dev, unsigned long long off, unsigned long long len) {
  int fd = open(dev, O_RDWR);
  if (fd < 0) {
    perror(dev);
    return 1;
  }
  mtd_info_t mi;
  if (ioctl(fd, MEMGETINFO, &mi) < 0) {
    perror("MEMGETINFO");
    return 1;
  }
  for (unsigned long long o = off; o < off + len; o += mi.erasesize) {
    erase_info_user64 ei{};
    ei.start = o;
    ei.length = mi.erasesize;
    if (ioctl(fd, MEMERASE64, &ei) < 0) {
      perror("MEMERASE64");
      return 1;
    }
  }
  close(fd);
  return 0;
}

static int RawWrite(const char* dev, unsigned long long off, const char* file) {
  int fd = open(dev, O_RDWR);
  if (fd < 0) {
    perror(dev);
    return 1;
  }
  FILE* in = std::fopen(file, "rb");
  if (!in) {
    perror(file);
    return 1;
  }
  std::vector<unsigned char> rec(2048 + 32);
  for (;;) {
    size_t n = std::fread(rec.data(), 1, rec.size(), in);
    if (n == 0) break;
    if (n != rec.size()) {
      std::fprintf(stderr, "short record\n");
      return 1;
    }
    mtd_write_req req{};
    req.start = off;
    req.len = 2048;
    req.ooblen = 32;
    req.usr_data = reinterpret_cast<unsigned long long>(rec.data());
    req.usr_oob = reinterpret_cast<unsigned long long>(rec.data() + 2048);
    req.mode = MTD_OPS_RAW;
    if (ioctl(fd, MEMWRITE, &req) < 0) {
      perror("MEMWRITE");
      return 1;
    }
    off += 2048;
  }
  std::fclose(in);
  close(fd);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 3 && !std::strcmp(argv[1], "time")) return Time(argv + 2);
  if (argc == 5 && !std::strcmp(argv[1], "erase"))
    return Erase(argv[2], std::strtoull(argv[3], nullptr, 0), std::strtoull(argv[4], nullptr, 0));
  if (argc == 5 && !std::strcmp(argv[1], "rawwrite"))
    return RawWrite(argv[2], std::strtoull(argv[3], nullptr, 0), argv[4]);
  std::fprintf(stderr,
               "usage: benchtool time CMD [ARG...]   (seconds on stdout)\n"
               "       benchtool erase DEV OFFSET LENGTH\n"
               "       benchtool rawwrite DEV OFFSET RECORDS\n");
  return 2;
}
