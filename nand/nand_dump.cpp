// NAND reader: a range of good pages, each optionally followed by its 32 OOB bytes, copied into
// memory or a file in the record layout that the image writer reads back.
#include "nand_dump.h"

#include "nand_write.h"
#include "tool_report.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>  // before mtd-user.h, which uses _IOR and friends without it
#include <unistd.h>

#include <mtd/mtd-user.h>

#include "kernel.h"
#include "libmtd.h"

namespace {

const char kTool[] = "nanddump";

// Read settings, filled by each entry point before the common routine runs.
const char* mtddev;
long long start_addr;
long long length;
const char* dumpfile;
bool omitoob;
bool quiet;
int bb_method;

#define errmsg(...) tool_errmsg(kTool, __VA_ARGS__)

void* xmalloc(size_t size) { return tool_xmalloc(kTool, size); }

// Where the pages go: the caller's buffer, which holds at most `room` bytes (unbounded when
// room is negative), or a file, written in chunks of many records rather than two writes a page.
struct Sink {
  char* mem = nullptr;
  long long room = -1;
  long long pos = 0;
  int ofd = -1;
  char* chunk = nullptr;  // file mode: records not yet written, room for at least one page
  size_t cap = 0, held = 0;

  // false when the file could not take the bytes.
  bool put(const void* src, size_t len) {
    if (ofd < 0) {
      size_t n = len;
      if (room >= 0) {
        if (pos >= room) return true;
        if (static_cast<long long>(n) > room - pos) n = static_cast<size_t>(room - pos);
      }
      memcpy(mem + pos, src, n);
      pos += static_cast<long long>(n);
      return true;
    }
    if (held + len > cap && !flush()) return false;
    memcpy(chunk + held, src, len);
    held += len;
    return true;
  }

  bool flush() {
    const size_t len = held;
    held = 0;
    return k_write_full(ofd, chunk, len) == 0;
  }
};

struct Dump {
  libmtd_t mtd_desc = nullptr;
  int fd = -1;
  unsigned char* oobbuf = nullptr;
  unsigned char* readbuf = nullptr;
  Sink sink;

  void release() {
    if (fd >= 0) k_close(fd);
    fd = -1;
    if (sink.ofd >= 0) k_close(sink.ofd);
    sink.ofd = -1;
    free(sink.chunk);
    sink.chunk = nullptr;
    free(oobbuf);
    oobbuf = nullptr;
    free(readbuf);
    readbuf = nullptr;
    if (mtd_desc) libmtd_close(mtd_desc);
    mtd_desc = nullptr;
  }
  [[noreturn]] void abort() {
    release();
    printf("dump data failed,abort!");
    tool_exit(1);
  }
};

// Opens the MTD layer and the device and reads its geometry. -1 goes back to the caller; a
// device that cannot be opened ends the process.
int open_device(Dump* d, mtd_dev_info* mtd) {
  d->mtd_desc = libmtd_open();
  if (!d->mtd_desc) {
    errmsg("can't initialize libmtd\n");
    return -1;
  }
  d->fd = k_open(mtddev, O_RDONLY);
  if (d->fd < 0) {
    perror(mtddev);
    d->release();
    tool_exit(1);
  }
  if (mtd_get_dev_info(d->mtd_desc, mtddev, mtd) < 0) {
    errmsg("mtd_get_dev_info failed\n");
    d->release();
    return -1;
  }
  mtd->oob_size = kRecordOobSize;
  d->oobbuf = static_cast<unsigned char*>(xmalloc(kRecordOobSize));
  d->readbuf =
      static_cast<unsigned char*>(xmalloc(mtd->min_io_size > 0 ? static_cast<size_t>(mtd->min_io_size) : 0));
  return 0;
}

// Read mode, ECC counters, destination and start address, before the first page. Returns
// whether the ECC counters can be followed (their first reading in *stat); ends the process
// on a failure.
bool prepare(Dump* d, const mtd_dev_info& mtd, mtd_ecc_stats* stat) {
  // Records with OOB bytes are copies: read raw, so that they hold what the pages hold. Through
  // ECC, pages written raw (whose ECC bytes the kernel does not agree with) come back "corrected"
  // in bits that were never wrong.
  if (!omitoob &&
      k_ioctl(d->fd, MTDFILEMODE, reinterpret_cast<void*>(static_cast<uintptr_t>(MTD_FILE_MODE_RAW))) != 0) {
    int err = errno;
    errmsg("MTDFILEMODE\n");
    tool_errno_line(kTool, err);
    d->abort();
  }
  const bool eccstats = k_ioctl(d->fd, ECCGETSTATS, stat) == 0;
  if (!eccstats) perror("No ECC status information available");

  if (dumpfile) {
    d->sink.ofd = k_open(dumpfile, O_WRONLY | O_TRUNC | O_CREAT, 0644);
    if (d->sink.ofd < 0) {
      perror(dumpfile);
      d->abort();
    }
    if (k_isatty(d->sink.ofd)) {
      fprintf(stderr, "Not printing binary garbage to tty. Use '-a'\nor '--forcebinary' to override.\n");
      d->abort();
    }
  }
  const int pagesize = mtd.min_io_size;
  if (pagesize <= 0 || mtd.eb_size <= 0 || start_addr % pagesize != 0) {
    fprintf(stderr,
            "the start address (-s parameter) is not page-aligned!\n"
            "The pagesize of this NAND Flash is 0x%x.\n",
            pagesize);
    d->abort();
  }
  if (d->sink.ofd >= 0) {
    d->sink.cap = pagesize > 64 * 1024 ? static_cast<size_t>(pagesize) : 64 * 1024;
    d->sink.chunk = static_cast<char*>(xmalloc(d->sink.cap));
  }
  // The caller's buffer is sized by what it asked for: length bytes of page data and, with OOB,
  // 32 bytes for each page they touch. Whatever the page size, nothing goes past that.
  if (d->sink.mem && length) {
    long long pages = length > 0 ? (length + pagesize - 1) / pagesize : 0;
    d->sink.room = length > 0 ? length + (omitoob ? 0 : pages * kRecordOobSize) : 0;
  }
  return eccstats;
}

// Copies the page at ofs, and its OOB bytes for OOB dumps, to the destination, reporting the
// bitflips its read added to the ECC counters. Ends the process on a failure.
void copy_page(Dump* d, const mtd_dev_info& mtd, long long ofs, bool eccstats, mtd_ecc_stats* stat1) {
  const int pagesize = mtd.min_io_size;
  if (mtd_read(&mtd, d->fd, static_cast<int>(ofs / mtd.eb_size), static_cast<int>(ofs % mtd.eb_size),
               d->readbuf, pagesize) != 0) {
    errmsg("mtd_read\n");
    d->abort();
  }
  if (eccstats) {
    mtd_ecc_stats stat2;
    if (k_ioctl(d->fd, ECCGETSTATS, &stat2) != 0) {
      perror("ioctl(ECCGETSTATS)");
      d->abort();
    }
    if (stat1->failed != stat2.failed)
      fprintf(stderr, "ECC: %d uncorrectable bitflip(s) at offset 0x%08llx\n",
              static_cast<int>(stat2.failed - stat1->failed), static_cast<long long>(ofs));
    if (stat1->corrected != stat2.corrected)
      fprintf(stderr, "ECC: %d corrected bitflip(s) at offset 0x%08llx\n",
              static_cast<int>(stat2.corrected - stat1->corrected), static_cast<long long>(ofs));
    *stat1 = stat2;
  }
  // A copy missing pages would be written back elsewhere as if it were whole.
  if (!d->sink.put(d->readbuf, static_cast<size_t>(pagesize))) {
    perror(dumpfile);
    d->abort();
  }
  if (omitoob) return;
  if (mtd_read_oob(d->mtd_desc, &mtd, d->fd, static_cast<uint64_t>(ofs), kRecordOobSize, d->oobbuf) != 0) {
    errmsg("libmtd: mtd_read_oob\n");
    d->abort();
  }
  if (!d->sink.put(d->oobbuf, kRecordOobSize)) {
    perror(dumpfile);
    d->abort();
  }
}

int run(Dump* d) {
  mtd_dev_info mtd;
  if (open_device(d, &mtd) != 0) return -1;
  mtd_ecc_stats stat;
  const bool eccstats = prepare(d, mtd, &stat);

  long long end_addr = mtd.size;
  if (length) end_addr = start_addr + length < mtd.size ? start_addr + length : mtd.size;
  long long blockstart = -1;
  int badblock = 0;
  for (long long ofs = start_addr; ofs < end_addr;) {
    const long long eb = ofs / mtd.eb_size;
    if (bb_method && eb != blockstart) {
      blockstart = eb;
      badblock = mtd_is_bad(&mtd, d->fd, static_cast<int>(eb));
      if (badblock < 0) {
        errmsg("libmtd: mtd_is_bad\n");
        d->abort();
      }
    }
    if (badblock > 0) {
      // The range keeps its count of good pages, up to the device end.
      end_addr = end_addr + mtd.eb_size < mtd.size ? end_addr + mtd.eb_size : mtd.size;
      ofs += mtd.eb_size;
      continue;
    }
    copy_page(d, mtd, ofs, eccstats, &stat);
    ofs += mtd.min_io_size;
  }
  if (d->sink.ofd >= 0 && !d->sink.flush()) {
    perror(dumpfile);
    d->abort();
  }
  d->release();
  return 0;
}

void set_target(const char* file, int start, int len, const char* device, bool oob) {
  mtddev = device;
  start_addr = start;
  length = len;
  dumpfile = file;
  omitoob = !oob;
  quiet = true;
  bb_method = 2;
}

int nand_dump_to_mem(char* buffer) {
  Dump d;
  d.sink.mem = buffer;
  return run(&d);
}

int nand_dump() {
  Dump d;
  return run(&d);
}

}  // namespace

int nand_dump_to_mem_nooob(char* buffer, int start, int len, const char* device) {
  set_target(nullptr, start, len, device, false);
  return nand_dump_to_mem(buffer);
}

int nand_dump_to_mem_with_oob(char* buffer, int start, int len, const char* device) {
  set_target(nullptr, start, len, device, true);
  return nand_dump_to_mem(buffer);
}

int nand_dump_nooob(const char* file, int start, int len, const char* device) {
  set_target(file, start, len, device, false);
  return nand_dump();
}

int nand_dump_with_oob(const char* file, int start, int len, const char* device) {
  set_target(file, start, len, device, true);
  return nand_dump();
}
