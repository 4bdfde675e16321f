// NAND image writer. The image goes onto flash page by page; the records of the eraseblock
// being written are kept in memory so that a block whose page program fails can be erased and
// written again into the next good block without going back in the input, which may be a pipe.
#include "nand_write.h"

#include "tool_report.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>  // before mtd-user.h, which uses _IOR and friends without it
#include <sys/stat.h>
#include <unistd.h>

#include <mtd/mtd-user.h>

#include "flash_erase.h"
#include "kernel.h"
#include "libmtd.h"

namespace {

const char kTool[] = "nandwrite";
const char standard_input[] = "-";

// Write settings, filled by each entry point before the common routine runs.
const char* mtd_device;
unsigned long long mtdoffset;
unsigned long long mtdsize;
bool noecc;
bool writeoob;
bool pad;
const char* img;

#define errmsg(...) tool_errmsg(kTool, __VA_ARGS__)

void* xmalloc(size_t size) { return tool_xmalloc(kTool, size); }

void errno_line(int err) { tool_errno_line(kTool, err); }

[[noreturn]] void partial_write(int err) {
  printf("Data was only partially written due to error, abort!\n");
  errmsg("Data was only partially written due to error\n");
  errno_line(err);
  tool_exit(-1);
}

// Everything a failing write has to release before it reports.
struct Resources {
  int fd = -1;
  int ifd = -1;
  libmtd_t mtd_desc = nullptr;
  unsigned char* buf = nullptr;
  int chip_oob_size = 0;         // the device's own OOB size; the records carry only 32 bytes
  long long checked_block = -1;  // the block last found erased where the write goes on

  void release() {
    if (ifd >= 0 && ifd != STDIN_FILENO) k_close(ifd);
    ifd = -1;
    if (mtd_desc) libmtd_close(mtd_desc);
    mtd_desc = nullptr;
    free(buf);
    buf = nullptr;
    if (fd >= 0) k_close(fd);
    fd = -1;
  }
  [[noreturn]] void fail(int err) {
    release();
    partial_write(err);
  }
};

// Puts the device into raw mode for pages that carry their own OOB bytes; returns the write
// mode that goes with it. Ends the process when the kernel refuses.
int set_raw(Resources* r) {
  if (k_ioctl(r->fd, MTDFILEMODE, reinterpret_cast<void*>(static_cast<uintptr_t>(MTD_FILE_MODE_RAW))) == 0)
    return MTD_OPS_RAW;
  int err = errno;
  if (err == ENOTTY) {
    printf("ioctl MTDFILEMODE is missing, abort!");
    errmsg("ioctl MTDFILEMODE is missing\n");
  } else {
    printf("MTDFILEMODE, abort!");
    errmsg("MTDFILEMODE\n");
    errno_line(err);
  }
  r->release();
  tool_exit(-1);
}

// Opens the device and the MTD layer, reads the geometry and checks the start offset.
// Memory and file sources differ only in the punctuation of their abort words.
void setup(Resources* r, mtd_dev_info* mtd, int* write_mode, bool memory) {
  r->fd = k_open(mtd_device, O_RDWR);
  if (r->fd < 0) {
    int err = errno;
    printf(memory ? "fail to open %s, abort!" : "fail to open %s, abort!\n", mtd_device);
    errmsg("fail to open %s\n", mtd_device);
    errno_line(err);
    tool_exit(-1);
  }
  r->mtd_desc = libmtd_open();
  if (!r->mtd_desc) {
    printf(memory ? "can't initialize libmtd, abort!" : "can't initialize libmtd, abort!\n");
    errmsg("can't initialize libmtd\n");
    r->release();
    tool_exit(-1);
  }
  if (mtd_get_dev_info(r->mtd_desc, mtd_device, mtd) < 0) {
    printf("mtd_get_dev_info failed, abort!");
    errmsg("mtd_get_dev_info failed\n");
    r->release();
    tool_exit(-1);
  }
  r->chip_oob_size = mtd->oob_size;
  mtd->oob_size = kRecordOobSize;
  if (mtdsize) mtd->size = static_cast<long long>(mtdoffset + mtdsize);

  if (mtd->min_io_size <= 0 || mtd->eb_size <= 0 || mtd->eb_size % mtd->min_io_size != 0 ||
      mtdoffset % static_cast<unsigned long long>(mtd->min_io_size) != 0) {
    printf(memory ? "invalid start address %d ,abort!" : "invalid start address %d, abort!\n",
           static_cast<int>(mtdoffset));
    errmsg("The start address is not page-aligned !\nThe pagesize of this NAND Flash is 0x%x.\n\n",
           mtd->min_io_size);
    r->release();
    tool_exit(-1);
  }

  *write_mode = noecc ? set_raw(r) : MTD_OPS_PLACE_OOB;
}

// Enters the eraseblock holding mtdoffset, skipping bad ones. Returns true when a new block was
// entered (the caller's per-block bookkeeping), false when mtdoffset is still in blockstart.
// input_left: whether anything remains to be written; with nothing left, a range that ends in
// bad blocks is no failure.
bool enter_block(Resources* r, const mtd_dev_info& mtd, long long* blockstart, bool input_left = true) {
  const unsigned long long ebsize = static_cast<unsigned long long>(mtd.eb_size);
  bool entered = false;
  while (static_cast<long long>(mtdoffset - mtdoffset % ebsize) != *blockstart) {
    entered = true;
    *blockstart = static_cast<long long>(mtdoffset - mtdoffset % ebsize);
    printf("Writing data to block %lld at offset 0x%llx\n", *blockstart / mtd.eb_size,
           static_cast<long long>(*blockstart));
    fflush(stdout);
    int ret = mtd_is_bad(&mtd, r->fd, static_cast<int>(*blockstart / mtd.eb_size));
    if (ret < 0) {
      int err = errno;
      errmsg("%s: MTD get bad block failed\n", mtd_device);
      errno_line(err);
      r->fail(err);
    }
    if (ret == 1) {
      fprintf(stderr, "Bad block at %llx, %u block(s) from %llx will be skipped\n",
              static_cast<long long>(*blockstart), 1u, static_cast<long long>(*blockstart));
      mtdoffset = static_cast<unsigned long long>(*blockstart) + ebsize;
      if (mtdoffset >= static_cast<unsigned long long>(mtd.size)) {
        if (!input_left) return entered;
        int err = errno;
        errmsg("too many bad blocks, cannot complete request\n");
        r->fail(err);
      }
    }
  }
  return entered;
}

// True when every byte of the page at offset, data and OOB, reads as 0xFF.
bool page_erased(Resources* r, const mtd_dev_info& mtd, unsigned long long offset, unsigned char* buf) {
  const int page = mtd.min_io_size;
  if (mtd_read(&mtd, r->fd, static_cast<int>(offset / static_cast<unsigned long long>(mtd.eb_size)),
               static_cast<int>(offset % static_cast<unsigned long long>(mtd.eb_size)), buf, page) != 0)
    return false;
  // All of the OOB area, not just the 32 bytes of a record: the ECC bytes live there too.
  mtd_dev_info whole = mtd;
  whole.oob_size = r->chip_oob_size;
  const int oob = r->chip_oob_size > 0 ? r->chip_oob_size : 0;
  if (oob > 0 &&
      mtd_read_oob(r->mtd_desc, &whole, r->fd, offset, static_cast<uint64_t>(oob), buf + page) != 0)
    return false;
  // All 0xFF: the first byte is, and every byte equals the one after it.
  const size_t n = static_cast<size_t>(page) + static_cast<size_t>(oob);
  return n == 0 || (buf[0] == 0xFF && memcmp(buf, buf + 1, n - 1) == 0);
}

// A page is programmed only when it is erased. Blocks that the caller's erase went through are
// known to be; any other block (past the erased range, or one whose erase failed) is read back
// from the write position to its end first, and the write stops before touching it if it is not.
void ensure_erased(Resources* r, const mtd_dev_info& mtd, long long blockstart) {
  const long long eb = blockstart / mtd.eb_size;
  if (flash_erase_state(mtd_device, eb) == kBlockErased) return;
  const size_t oob = static_cast<size_t>(r->chip_oob_size > 0 ? r->chip_oob_size : 0);
  unsigned char* buf = static_cast<unsigned char*>(xmalloc(static_cast<size_t>(mtd.min_io_size) + oob));
  bool erased = true;
  for (unsigned long long off = mtdoffset;
       erased && off < static_cast<unsigned long long>(blockstart + mtd.eb_size);
       off += static_cast<unsigned long long>(mtd.min_io_size))
    erased = page_erased(r, mtd, off, buf);
  free(buf);
  if (!erased) {
    int err = errno;
    errmsg("block at 0x%llx is not erased\n", static_cast<long long>(blockstart));
    r->fail(err);
  }
}

// Writes one page at mtdoffset. Returns 0 when written, 1 when the block failed and was erased
// (mtdoffset then points at the next block), and ends the process on any other failure.
int write_page(Resources* r, const mtd_dev_info& mtd, long long blockstart, unsigned char* page,
               unsigned char* oob, int write_mode) {
  const unsigned long long ebsize = static_cast<unsigned long long>(mtd.eb_size);
  if (r->checked_block != blockstart) {
    ensure_erased(r, mtd, blockstart);
    r->checked_block = blockstart;
  }
  if (mtd_write(r->mtd_desc, &mtd, r->fd, static_cast<int>(mtdoffset / ebsize),
                static_cast<int>(mtdoffset % ebsize), page, mtd.min_io_size, oob, oob ? kRecordOobSize : 0,
                static_cast<uint8_t>(write_mode)) == 0) {
    mtdoffset += static_cast<unsigned long long>(mtd.min_io_size);
    return 0;
  }
  int err = errno;
  if (err != EIO) {
    errmsg("%s: MTD write failure\n", mtd_device);
    errno_line(err);
    r->fail(err);
  }
  // The page did not take. The block is cleared and marked bad: left good, it would sit in the
  // middle of the image as a blank block, and a reader that skips only bad blocks (the boot
  // loader) would read it as part of the image. Its records go to the next good block.
  fprintf(stderr, "Erasing failed write from %#08llx to %#08llx\n", static_cast<long long>(blockstart),
          static_cast<long long>(blockstart + mtd.eb_size - 1));
  const int eb = static_cast<int>(blockstart / mtd.eb_size);
  if (mtd_erase(r->mtd_desc, &mtd, r->fd, eb) != 0) {
    int eerr = errno;
    errmsg("%s: MTD Erase failure\n", mtd_device);
    errno_line(eerr);
    if (eerr != EIO) r->fail(eerr);
  }
  fprintf(stderr, "Marking block at %#08llx bad\n", static_cast<long long>(blockstart));
  // The kernel writes the mark into the block's first pages; when those are what fails, it
  // answers EIO yet keeps the block bad in its table. Bad is all that matters here.
  if (mtd_mark_bad(&mtd, r->fd, eb) != 0) {
    int merr = errno;
    if (mtd_is_bad(&mtd, r->fd, eb) != 1) {
      errmsg("%s: MTD Mark bad block failure\n", mtd_device);
      errno_line(merr);
      r->fail(merr);
    }
  }
  mtdoffset = static_cast<unsigned long long>(blockstart) + ebsize;
  return 1;
}

void check_fit(long long imglen, int pagelen, const mtd_dev_info& mtd, Resources* r) {
  if ((imglen / pagelen) * mtd.min_io_size > mtd.size - static_cast<long long>(mtdoffset)) {
    int err = errno;
    fprintf(stderr, "Image %lld bytes, NAND page %d bytes, OOB area %d bytes, device size %lld bytes\n",
            imglen, pagelen, kRecordOobSize, mtd.size);
    errmsg("Input file does not fit into device\n");
    errno_line(err);
    r->fail(err);
  }
}

void erase_buffer(void* buffer, size_t size) {
  if (buffer && size) memset(buffer, 0xff, size);
}

// Opens the image, or takes standard input, and returns what is left of it to write; for a
// pipe only "not exhausted yet" (one record).
long long open_input(Resources* r, bool from_stdin, int pagelen) {
  long long imglen = pagelen;
  if (from_stdin) {
    r->ifd = STDIN_FILENO;
  } else {
    r->ifd = k_open(img, O_RDONLY);
    if (r->ifd < 0) {
      int err = errno;
      perror(img);
      r->fail(err);
    }
    struct stat st;
    if (k_fstat(r->ifd, &st) != 0) {
      int err = errno;
      errmsg("unable to stat input image\n");
      errno_line(err);
      r->fail(err);
    }
    imglen = static_cast<long long>(st.st_size);
  }
  if (!pad && imglen % pagelen != 0) {
    int err = errno;
    fprintf(stderr, "Input file is not page-aligned. Use the padding option.\n");
    r->fail(err);
  }
  return imglen;
}

// Reads the rest of a record, `have` bytes of it already held, in one go: page data, then its
// OOB bytes for OOB images. False at the end of the input before the record began.
bool read_record(Resources* r, unsigned char* rec, size_t have, size_t pagesize, size_t want, bool from_stdin,
                 long long* imglen) {
  const long long got = k_read_full(r->ifd, rec + have, want - have);
  // Only the end of the input stops a read short.
  const bool eof = got >= 0 && static_cast<size_t>(got) < want - have;
  if (got < 0) {
    int err = errno;
    perror("File I/O error on input");
    r->fail(err);
  }
  if (have == 0 && got == 0) {
    if (from_stdin) *imglen = 0;
    return false;
  }
  const size_t now = have + static_cast<size_t>(got);
  if (now < pagesize) {
    if (!pad) {
      int err = errno;
      fprintf(stderr, "Unexpected EOF. Expecting at least %zu more bytes. Use the padding option.\n",
              pagesize - now);
      r->fail(err);
    }
    erase_buffer(rec + now, pagesize - now);
  }
  if (writeoob && now < want) {
    int err = errno;
    fprintf(stderr, "Unexpected EOF. Expecting at least %zu more bytes for OOB\n",
            want - (now > pagesize ? now : pagesize));
    r->fail(err);
  }
  if (from_stdin) {
    if (eof) *imglen = 0;
  } else {
    *imglen -= got;
  }
  return true;
}

// Whether input is left that the range could not take. A pipe only tells its end when asked:
// the range may have ended exactly with the input.
bool input_left(Resources* r, long long imglen, bool from_stdin, int* err) {
  if (imglen <= 0) return false;
  if (!from_stdin) return true;
  unsigned char probe;
  const long long got = k_read_full(r->ifd, &probe, 1);
  if (got < 0) *err = errno;
  return got != 0;
}

int nand_write() {
  Resources r;
  mtd_dev_info mtd;
  int write_mode = 0;
  setup(&r, &mtd, &write_mode, false);
  const bool from_stdin = strcmp(img, standard_input) == 0;
  const size_t pagesize = static_cast<size_t>(mtd.min_io_size);
  const size_t pagelen = pagesize + (writeoob ? kRecordOobSize : 0);
  long long imglen = open_input(&r, from_stdin, static_cast<int>(pagelen));
  check_fit(imglen, static_cast<int>(pagelen), mtd, &r);

  // The records of the block being written stay here until the block is done.
  const size_t buflen = static_cast<size_t>(mtd.eb_size / mtd.min_io_size) * pagelen;
  r.buf = static_cast<unsigned char*>(xmalloc(buflen));
  erase_buffer(r.buf, buflen);
  size_t filled = 0;  // bytes of input held in the buffer
  size_t wpos = 0;    // next record to write
  bool started = false;
  long long blockstart = -1;
  // Even an empty input enters its first block, as the writer always reports where it starts.
  while ((imglen > 0 || !started || wpos < filled) && mtdoffset < static_cast<unsigned long long>(mtd.size)) {
    if (enter_block(&r, mtd, &blockstart, imglen > 0 || (started && wpos < filled)) || !started) {
      // Records left over from a failed block are kept for the next one.
      if (wpos != 0 || !started) {
        erase_buffer(r.buf, filled);
        filled = 0;
      }
      wpos = 0;
      started = true;
    }
    unsigned char* page = r.buf + wpos;
    if (wpos + pagelen > filled) {
      if (!read_record(&r, page, filled - wpos, pagesize, pagelen, from_stdin, &imglen)) break;
      filled = wpos + pagelen;
    }
    unsigned char* oob = writeoob ? page + pagesize : nullptr;
    wpos = write_page(&r, mtd, blockstart, page, oob, write_mode) == 0 ? wpos + pagelen : 0;
  }

  int err = errno;
  const bool left = input_left(&r, imglen, from_stdin, &err);
  r.release();
  if (left || wpos < filled) partial_write(err);
  return 0;
}

int nand_write_from_memory(const unsigned char* buffer, long long size) {
  Resources r;
  mtd_dev_info mtd;
  int write_mode = 0;
  setup(&r, &mtd, &write_mode, true);

  long long remaining = size;
  check_fit(remaining, mtd.min_io_size, mtd, &r);
  if (remaining <= 0) {
    r.release();
    return 0;
  }

  const size_t pagesize = static_cast<size_t>(mtd.min_io_size);
  // The caller's buffer is never read past its end: a last partial page is completed here.
  r.buf = static_cast<unsigned char*>(xmalloc(pagesize));
  size_t srcpos = 0;
  long long blockstart = -1;
  size_t block_srcpos = 0;
  long long block_remaining = remaining;

  while (remaining > 0) {
    if (mtdoffset >= static_cast<unsigned long long>(mtd.size)) r.fail(errno);
    if (enter_block(&r, mtd, &blockstart)) {
      block_srcpos = srcpos;
      block_remaining = remaining;
    }
    const size_t n = remaining < static_cast<long long>(pagesize) ? static_cast<size_t>(remaining) : pagesize;
    memcpy(r.buf, buffer + srcpos, n);
    erase_buffer(r.buf + n, pagesize - n);
    if (write_page(&r, mtd, blockstart, r.buf, nullptr, write_mode) == 0) {
      srcpos += pagesize;
      remaining -= static_cast<long long>(pagesize);
    } else {
      srcpos = block_srcpos;
      remaining = block_remaining;
    }
  }
  r.release();
  return 0;
}

}  // namespace

// With OOB records the pages go raw and unpadded; plain pages go through ECC, padded.
static void set_target(const char* device, unsigned int start, unsigned int length, bool with_oob) {
  mtd_device = device;
  mtdoffset = start;
  mtdsize = length;
  noecc = with_oob;
  writeoob = with_oob;
  pad = !with_oob;
}

int nand_write_with_oob(const char* image, const char* device, unsigned int start, unsigned int length) {
  set_target(device, start, length, true);
  img = image;
  return nand_write();
}

int nand_write_no_oob(const char* image, const char* device, unsigned int start, unsigned int length) {
  set_target(device, start, length, false);
  img = image;
  return nand_write();
}

int nand_write_no_oob(const unsigned char* buffer, unsigned int size, const char* device, unsigned int start,
                      unsigned int length) {
  set_target(device, start, length, false);
  return nand_write_from_memory(buffer, size);
}
