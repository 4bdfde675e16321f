// Packages' gzip check against zlib: the input is the package file. Whatever zlib inflates
// whole, member by member, the check must accept too, ending where zlib's last member ends;
// what zlib refuses the check may accept only when its own inflater reached every trailer.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <vector>

#include "GzipCheck.h"

namespace {

// Bytes of data taken by one gzip member at data, or 0 when zlib refuses it (any header, data
// or trailer fault, or data cut short).
size_t ZlibMember(const uint8_t* data, size_t size) {
  z_stream s;
  memset(&s, 0, sizeof s);
  if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) abort();
  static std::vector<uint8_t> out(1 << 16);
  s.next_in = const_cast<Bytef*>(data);
  s.avail_in = static_cast<uInt>(size);
  int rc = Z_OK;
  while (rc == Z_OK) {
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    rc = inflate(&s, Z_NO_FLUSH);
    if (rc == Z_BUF_ERROR && s.avail_in > 0) rc = Z_OK;  // the output buffer was full
  }
  const size_t used = rc == Z_STREAM_END ? s.total_in : 0;
  inflateEnd(&s);
  return used;
}

// The offset past the last member as the package check defines the members (a following
// member only where 20 bytes remain and its magic stands), or -1 when zlib refuses one.
long long ZlibEnd(const uint8_t* data, size_t size) {
  size_t at = 0;
  do {
    const size_t n = ZlibMember(data + at, size - at);
    if (n == 0) return -1;
    at += n;
  } while (size - at >= 20 && data[at] == 0x1F && data[at + 1] == 0x8B && data[at + 2] == 8);
  return static_cast<long long>(at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("pkg", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0) abort();
  if (size && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  long long end = -2;
  const int rc = GzipCheck(fd, &end);
  const long long want = ZlibEnd(data, size);
  if (rc != 0 && rc != -1) abort();
  // A package zlib reads whole is never refused, and its members end in the same place.
  if (want >= 0 && (rc != 0 || end != want)) abort();
  if (rc == 0 && (end < 20 || end > static_cast<long long>(size))) abort();
  return 0;
}
