// File helpers: thin wrappers over the POSIX file calls that report every failure to the
// diagnostic log and hand back simple results.
#pragma once

#include <stddef.h>

#include <string>

class UFile {
 public:
  // open with the caller's flags and mode 0777; descriptor or -1.
  static int Open(const char* path, int flags);
  // As Open with O_CREAT | O_RDWR added; an existing file is not truncated unless the
  // caller passes O_TRUNC.
  static int Create(const char* path, int flags);
  // One read / write call each; short transfers are the caller's to handle. Negative on error.
  static int Read(int fd, void* buf, unsigned int len);
  static int Write(int fd, const void* buf, unsigned int len);
  static bool Close(int fd);
  // Writes all len bytes, repeating short and interrupted writes; false when the file stopped
  // taking bytes (a full RAM disk) or a write failed.
  static bool WriteAll(int fd, const void* buf, size_t len);
  // Size in bytes, or -1.
  static long long GetFileSize(int fd);
  static long long GetFileSize(const char* path);
  // stat succeeds (symbolic links followed); never reported.
  static bool Exist(const char* path);
  static bool IsDir(const char* path);
  // The file's text up to its first NUL and at most 1 MiB; empty when it cannot be read.
  static std::string ReadFile(const char* path);

  static const unsigned int kReadFileLimit = 0x100000;
};
