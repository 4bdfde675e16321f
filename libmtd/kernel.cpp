#include "kernel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int g_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int g_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int g_stat(const char* path, struct stat* st) { return ::stat(path, st); }
int g_fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
kernel_dir* g_opendir(const char* path) { return reinterpret_cast<kernel_dir*>(::opendir(path)); }
const char* g_readdir(kernel_dir* dir) {
  struct dirent* d = ::readdir(reinterpret_cast<DIR*>(dir));
  return d ? d->d_name : nullptr;
}
int g_closedir(kernel_dir* dir) { return ::closedir(reinterpret_cast<DIR*>(dir)); }

const kernel_ops glibc_ops = {
    g_open,  ::close,   ::read,    ::write,    ::lseek,  g_ioctl, g_stat,
    g_fstat, g_opendir, g_readdir, g_closedir, ::isatty, ::sync,
};

}  // namespace

const kernel_ops* g_kernel = &glibc_ops;

const kernel_ops* kernel_glibc() { return &glibc_ops; }

const kernel_ops* kernel_install(const kernel_ops* ops) {
  const kernel_ops* old = g_kernel;
  g_kernel = ops ? ops : &glibc_ops;
  return old;
}

ssize_t k_read_full(int fd, void* buf, size_t len) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < len) {
    const ssize_t n = k_read(fd, p + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

int k_write_full(int fd, const void* buf, size_t len) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    const ssize_t n = k_write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}
