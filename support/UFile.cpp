#include "UFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ULog.h"

int UFile::Open(const char* path, int flags) {
  int fd = ::open(path, flags, 0777);
  if (fd < 0) USYSLOG_ERROR("Open", errno);
  return fd;
}

int UFile::Create(const char* path, int flags) {
  int fd = ::open(path, flags | O_CREAT | O_RDWR, 0777);
  if (fd < 0) USYSLOG_ERROR("Create", errno);
  return fd;
}

int UFile::Read(int fd, void* buf, unsigned int len) {
  // Linux moves at most 0x7ffff000 bytes per call, so the count always fits an int.
  ssize_t n = ::read(fd, buf, len);
  if (n < 0) USYSLOG_ERROR("Read", errno);
  return static_cast<int>(n);
}

int UFile::Write(int fd, const void* buf, unsigned int len) {
  ssize_t n = ::write(fd, buf, len);
  if (n < 0) USYSLOG_ERROR("Write", errno);
  return static_cast<int>(n);
}

bool UFile::WriteAll(int fd, const void* buf, size_t len) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) USYSLOG_ERROR("Write", errno);
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool UFile::Close(int fd) {
  if (::close(fd) == -1) {
    USYSLOG_ERROR("Close", errno);
    return false;
  }
  return true;
}

long long UFile::GetFileSize(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    USYSLOG_ERROR("GetFileSize", errno);
    return -1;
  }
  return static_cast<long long>(st.st_size);
}

long long UFile::GetFileSize(const char* path) {
  struct stat st;
  if (!path) {
    USYSLOG_ERRORF("GetFileSize", EFAULT, "GetFileSize('%s') error.", "(null)");
    return -1;
  }
  if (::stat(path, &st) != 0) {
    USYSLOG_ERRORF("GetFileSize", errno, "GetFileSize('%s') error.", path);
    return -1;
  }
  return static_cast<long long>(st.st_size);
}

bool UFile::Exist(const char* path) {
  struct stat st;
  return path && ::stat(path, &st) == 0;
}

bool UFile::IsDir(const char* path) {
  struct stat st;
  return path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string UFile::ReadFile(const char* path) {
  // One byte beyond the limit keeps room for the terminator of a full read.
  char* buf = static_cast<char*>(malloc(kReadFileLimit + 1));
  if (!buf) return std::string();
  buf[0] = '\0';
  int fd = path ? ::open(path, O_RDONLY) : -1;
  if (fd >= 0) {
    ssize_t n = ::read(fd, buf, kReadFileLimit);
    if (n > 0) buf[n] = '\0';
    ::close(fd);
  }
  std::string text(buf);
  free(buf);
  return text;
}
