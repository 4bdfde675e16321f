// The one door from the flash layers to the kernel: device nodes, ioctls, sysfs and "/proc/mtd".
// The product goes straight to glibc; host tests install a simulated kernel behind it.
#pragma once

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>

struct kernel_dir;  // opaque directory stream of whichever kernel is installed

struct kernel_ops {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buf, size_t len);
  ssize_t (*write)(int fd, const void* buf, size_t len);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*ioctl)(int fd, unsigned long request, void* arg);
  int (*stat)(const char* path, struct stat* st);
  int (*fstat)(int fd, struct stat* st);
  kernel_dir* (*opendir)(const char* path);
  // Returns the next entry's name, or null at the end (errno unchanged) or on failure (errno set).
  const char* (*readdir)(kernel_dir* dir);
  int (*closedir)(kernel_dir* dir);
  int (*isatty)(int fd);
  // Flushes what the run wrote before it reports the end.
  void (*sync)();
};

// The glibc table, installed unless a test replaced it.
const kernel_ops* kernel_glibc();
// Installs ops (null restores glibc) and returns the table that was installed before.
const kernel_ops* kernel_install(const kernel_ops* ops);

extern const kernel_ops* g_kernel;

inline int k_open(const char* path, int flags, mode_t mode = 0) { return g_kernel->open(path, flags, mode); }
inline int k_close(int fd) { return g_kernel->close(fd); }
inline ssize_t k_read(int fd, void* buf, size_t len) { return g_kernel->read(fd, buf, len); }
inline ssize_t k_write(int fd, const void* buf, size_t len) { return g_kernel->write(fd, buf, len); }
inline off_t k_lseek(int fd, off_t offset, int whence) { return g_kernel->lseek(fd, offset, whence); }
inline int k_ioctl(int fd, unsigned long request, void* arg) { return g_kernel->ioctl(fd, request, arg); }
inline int k_stat(const char* path, struct stat* st) { return g_kernel->stat(path, st); }
inline int k_fstat(int fd, struct stat* st) { return g_kernel->fstat(fd, st); }
inline kernel_dir* k_opendir(const char* path) { return g_kernel->opendir(path); }
inline const char* k_readdir(kernel_dir* dir) { return g_kernel->readdir(dir); }
inline int k_closedir(kernel_dir* dir) { return g_kernel->closedir(dir); }
inline int k_isatty(int fd) { return g_kernel->isatty(fd); }
inline void k_sync() { g_kernel->sync(); }

// Reads until len bytes arrived or the input ended, repeating short and interrupted reads: a
// device or pipe may hand over less than asked. The bytes read, or -1 with errno of the failure.
ssize_t k_read_full(int fd, void* buf, size_t len);
// Writes all len bytes, repeating short and interrupted writes. 0, or -1 with errno of the
// failure (ENOSPC when the file stopped taking bytes).
int k_write_full(int fd, const void* buf, size_t len);

// An open descriptor or directory stream of the installed kernel, closed when it goes out of
// scope. That close keeps the errno of the failure that made the caller give up; a caller whose
// close result matters takes the handle back with release() and closes it itself.
template <typename T, int (*Close)(T), T kNone>
class KHandle {
 public:
  explicit KHandle(T h = kNone) : h_(h) {}
  ~KHandle() {
    if (h_ == kNone) return;
    const int err = errno;
    Close(h_);
    errno = err;
  }
  KHandle(const KHandle&) = delete;
  KHandle& operator=(const KHandle&) = delete;
  T get() const { return h_; }
  bool ok() const { return h_ != kNone; }
  T release() {
    T h = h_;
    h_ = kNone;
    return h;
  }

 private:
  T h_;
};
using KFd = KHandle<int, k_close, -1>;
using KDir = KHandle<kernel_dir*, k_closedir, nullptr>;
