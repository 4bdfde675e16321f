// Packages' gzip check, the input being the package file: an answer of 0 or -1, and an accepted
// package ends within the file, after at least one member's header and trailer.
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "GzipCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("pkg", 0);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  long long end = -2;
  const int rc = GzipCheck(fd, &end);
  if ((rc != 0 && rc != -1) || (rc == 0 && (end < 20 || end > static_cast<long long>(size)))) abort();
  return 0;
}
