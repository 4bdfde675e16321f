// Packages' gzip check against zlib (the input is the package file): what zlib inflates whole,
// member by member, the check accepts too, ending where zlib's last member ends.
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include "GzipCheck.h"

namespace {

// Bytes taken by one gzip member, or 0 when zlib refuses it.
size_t ZlibMember(const uint8_t* data, size_t size) {
  z_stream s{};
  if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) abort();
  static Bytef out[1 << 16];
  s.next_in = const_cast<Bytef*>(data), s.avail_in = static_cast<uInt>(size);
  int rc = Z_OK;
  while (rc == Z_OK || (rc == Z_BUF_ERROR && s.avail_in > 0)) {  // a full output buffer goes on
    s.next_out = out, s.avail_out = sizeof out;
    rc = inflate(&s, Z_NO_FLUSH);
  }
  const size_t used = rc == Z_STREAM_END ? s.total_in : 0;
  inflateEnd(&s);
  return used;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("pkg", 0);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  long long end = -2, want = 0;
  const int rc = GzipCheck(fd, &end);
  // Members as the check defines them: another only where 20 bytes remain and its magic stands.
  for (size_t at = 0, n;; at += n) {
    if ((n = ZlibMember(data + at, size - at)) == 0 || size - at - n < 20 || data[at + n] != 0x1F ||
        data[at + n + 1] != 0x8B || data[at + n + 2] != 8) {
      want = n ? static_cast<long long>(at + n) : -1;
      break;
    }
  }
  if ((rc != 0 && rc != -1) || (want >= 0 && (rc != 0 || end != want)) ||
      (rc == 0 && (end < 20 || end > static_cast<long long>(size))))
    abort();
  return 0;
}
