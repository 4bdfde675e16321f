// Benchmark, not a test: writes images of 16 and 64 MiB, with and without OOB, onto a simulated
// 128 MiB chip and prints the kernel calls per page written and the memory the writer added.
// Usage: bench_nand [directory for the image files]
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <mtd/mtd-user.h>

#include "flash_erase.h"
#include "kernel.h"
#include "nand_write.h"
#include "sim_kernel.h"

namespace {

sim::Kernel* g_sim = nullptr;
const kernel_ops* g_next = nullptr;
std::map<std::string, unsigned long long> g_count;
unsigned long long g_total = 0;

// Keeps the simulator's own call record from growing with the image.
void Tick(const char* op) {
  g_count[op]++;
  if (++g_total % 1024 == 0) g_sim->clear_calls();
}

int c_open(const char* p, int f, mode_t m) {
  Tick("open");
  return g_next->open(p, f, m);
}
int c_close(int fd) {
  Tick("close");
  return g_next->close(fd);
}
ssize_t c_read(int fd, void* b, size_t n) {
  Tick("read");
  return g_next->read(fd, b, n);
}
ssize_t c_write(int fd, const void* b, size_t n) {
  Tick("write");
  return g_next->write(fd, b, n);
}
off_t c_lseek(int fd, off_t o, int w) {
  Tick("lseek");
  return g_next->lseek(fd, o, w);
}
int c_ioctl(int fd, unsigned long r, void* a) {
  Tick(r == MEMWRITE ? "ioctl MEMWRITE" : r == MEMGETBADBLOCK ? "ioctl MEMGETBADBLOCK" : "ioctl other");
  return g_next->ioctl(fd, r, a);
}
int c_stat(const char* p, struct stat* s) {
  Tick("stat");
  return g_next->stat(p, s);
}
int c_fstat(int fd, struct stat* s) {
  Tick("fstat");
  return g_next->fstat(fd, s);
}
kernel_dir* c_opendir(const char* p) {
  Tick("opendir");
  return g_next->opendir(p);
}
const char* c_readdir(kernel_dir* d) {
  Tick("readdir");
  return g_next->readdir(d);
}
int c_closedir(kernel_dir* d) {
  Tick("closedir");
  return g_next->closedir(d);
}
int c_isatty(int fd) {
  Tick("isatty");
  return g_next->isatty(fd);
}
void c_sync() {
  Tick("sync");
  g_next->sync();
}

const kernel_ops kCounting = {c_open,  c_close,   c_read,    c_write,    c_lseek,  c_ioctl, c_stat,
                              c_fstat, c_opendir, c_readdir, c_closedir, c_isatty, c_sync};

long StatusKiB(const char* key) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long v = -1;
  const size_t n = strlen(key);
  while (fgets(line, sizeof line, f))
    if (strncmp(line, key, n) == 0) v = strtol(line + n, nullptr, 10);
  fclose(f);
  return v;
}

void MakeImage(const std::string& path, unsigned long long bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    perror(path.c_str());
    exit(1);
  }
  std::vector<unsigned char> chunk(1 << 16);
  unsigned x = 1;
  for (unsigned long long done = 0; done < bytes; done += chunk.size()) {
    for (auto& c : chunk) c = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 16);
    fwrite(chunk.data(), 1, chunk.size() < bytes - done ? chunk.size() : bytes - done, f);
  }
  fclose(f);
}

// One write in a child of its own, so that its peak memory is its own.
void RunOne(const std::string& img, bool oob, unsigned long long pages) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) {
    int st;
    waitpid(pid, &st, 0);
    return;
  }
  sim::Geometry g;
  g.size = 128ull << 20;
  sim::Chip chip(g);
  sim::Kernel k;
  k.add_mtd(0, &chip, "nand0");
  g_sim = &k;
  g_next = kernel_install(&kCounting);
  // As every script line does: the erase first, whose record tells the writer which blocks it
  // need not read back. Not counted.
  flash_erase("/dev/mtd0", 0, 0);
  // Let the call record reach its working size before measuring.
  struct stat st;
  for (int i = 0; i < 2048; i++) k_stat("/dev/mtd0", &st);
  g_count.clear();
  g_total = 0;

  int saved = dup(1);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);  // the block lines
  const long hwm0 = StatusKiB("VmHWM:"), rss0 = StatusKiB("VmRSS:");
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int rc = oob ? nand_write_with_oob(img.c_str(), "/dev/mtd0", 0, 0)
               : nand_write_no_oob(img.c_str(), "/dev/mtd0", 0, 0);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  const long hwm1 = StatusKiB("VmHWM:");
  fflush(stdout);
  dup2(saved, 1);

  const double secs = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
  printf(
      "%s, %llu pages (%llu MiB of page data): rc %d, %.2f s, peak RSS before %ld KiB (RSS %ld), "
      "after %ld KiB, growth %ld KiB\n",
      oob ? "with OOB" : "without OOB", pages, pages * 2048 >> 20, rc, secs, hwm0, rss0, hwm1, hwm1 - hwm0);
  unsigned long long all = 0;
  for (auto& c : g_count) all += c.second;
  printf("  kernel calls per page: %.4f in all\n", static_cast<double>(all) / pages);
  for (auto& c : g_count)
    printf("    %-22s %10llu  %.4f per page\n", c.first.c_str(), c.second,
           static_cast<double>(c.second) / pages);
  fflush(stdout);
  kernel_install(g_next);
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const char* base = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  const std::string plain = std::string(base) + "/bench_nand_plain.img";
  const std::string withoob = std::string(base) + "/bench_nand_oob.img";
  for (unsigned long long mib : {16ull, 64ull}) {
    const unsigned long long pages = (mib << 20) / 2048;
    MakeImage(plain, pages * 2048);
    MakeImage(withoob, pages * (2048 + 32));
    RunOne(plain, false, pages);
    RunOne(withoob, true, pages);
  }
  unlink(plain.c_str());
  unlink(withoob.c_str());
  return 0;
}
