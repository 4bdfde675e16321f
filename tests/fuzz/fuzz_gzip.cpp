// Packages' gzip check against zlib, the input being the package: what zlib inflates whole, member
// by member, the check accepts, ending where zlib does; what it accepts ends within the file.
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include "GzipCheck.h"

// Bytes taken by one gzip member at data, or 0 when zlib refuses it or it is cut short.
static size_t ZlibMember(const uint8_t* data, size_t size) {
  z_stream s{};
  if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) abort();
  static uint8_t out[1 << 16];
  s.next_in = const_cast<Bytef*>(data), s.avail_in = static_cast<uInt>(size);
  int rc = Z_OK;
  while (rc == Z_OK || (rc == Z_BUF_ERROR && s.avail_in > 0)) {  // a full buffer is no error
    s.next_out = out, s.avail_out = sizeof out;
    rc = inflate(&s, Z_NO_FLUSH);
  }
  inflateEnd(&s);
  return rc == Z_STREAM_END ? s.total_in : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("pkg", 0);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  long long end = -2;
  const int rc = GzipCheck(fd, &end);
  if ((rc != 0 && rc != -1) || (rc == 0 && (end < 20 || end > static_cast<long long>(size)))) abort();
  // Members follow one another as the check defines them: where 20 bytes remain and a magic stands.
  long long want = 0;
  do {
    const size_t n = ZlibMember(data + want, size - want);
    if (n == 0) return 0;  // zlib refuses: the check may still accept what its own inflater read whole
    want += static_cast<long long>(n);
  } while (size - want >= 20 && data[want] == 0x1F && data[want + 1] == 0x8B && data[want + 2] == 8);
  if (rc != 0 || end != want) abort();
  return 0;
}
