// Guest-side probe of the simulated board. It reads the chip through its own,
// deliberately simple code path (plain read() plus MEMGETBADBLOCK), so that what
// the system tier reports about the flash does not depend on the updater's own
// MTD and NAND layers it is meant to check. It also runs on the host, where it
// makes the deterministic test images.
#include <fcntl.h>
#include <linux/loop.h>
#include <mtd/mtd-abi.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const uint32_t kEnvSize = 0x20000;

uint32_t Crc32(const unsigned char* p, size_t n) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

int Usage() {
  fprintf(stderr,
          "usage: boardtool map DEV\n"
          "       boardtool cmp DEV OFFSET FILE [SKIP]  (reads past bad eraseblocks and\n"
          "                                       the listed ones, e.g. 18,19)\n"
          "       boardtool erased DEV OFFSET LEN  (exit 0 when all 0xFF, bad blocks aside)\n"
          "       boardtool envmake OUT NAME=VALUE...\n"
          "       boardtool envprint DEV [OFFSET]\n"
          "       boardtool prng SEED SIZE         (deterministic bytes on stdout)\n"
          "       boardtool loop LOOPDEV FILE OFFSET SIZE\n"
          "       boardtool oobimg SEED BLOCKS     (image of 2048+32-byte records on stdout)\n"
          "       boardtool cmpoob DEV OFFSET FILE (pages and their first 32 OOB bytes, raw)\n"
          "       boardtool cmpcopy DEV DST SRC LEN (DST against SRC, both raw)\n"
          "       boardtool digest DEV OFFSET LEN  (raw pages, whole OOB and bad marks)\n"
          "       boardtool flip DEV OFFSET SEED BIT... (a page whose listed bits read flipped)\n");
  return 2;
}

bool FullRead(int fd, unsigned char* buf, size_t n, off_t off) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pread(fd, buf + done, n - done, off + static_cast<off_t>(done));
    if (r < 0 && errno == EINTR) continue;
    // A corrected bit flip is reported as EUCLEAN with the data delivered.
    if (r < 0 && errno == EUCLEAN) return true;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

struct Chip {
  int fd = -1;
  mtd_info_user info{};
};

bool OpenChip(const char* dev, Chip* chip) {
  chip->fd = open(dev, O_RDONLY);
  if (chip->fd < 0) {
    fprintf(stderr, "boardtool: %s: %s\n", dev, strerror(errno));
    return false;
  }
  if (ioctl(chip->fd, MEMGETINFO, &chip->info) != 0) {
    fprintf(stderr, "boardtool: MEMGETINFO %s: %s\n", dev, strerror(errno));
    return false;
  }
  return true;
}

int IsBad(const Chip& chip, uint64_t blockStart) {
  loff_t o = static_cast<loff_t>(blockStart);
  int r = ioctl(chip.fd, MEMGETBADBLOCK, &o);
  return r < 0 ? 0 : r;
}

int Map(const char* dev) {
  Chip chip;
  if (!OpenChip(dev, &chip)) return 1;
  // Raw: whether a block holds anything needs no ECC, and the software ECC of the simulated
  // chip would make each map of 128 MiB take seconds.
  if (ioctl(chip.fd, MTDFILEMODE, MTD_FILE_MODE_RAW) != 0) {
    fprintf(stderr, "boardtool: map: MTDFILEMODE: %s\n", strerror(errno));
    return 1;
  }
  const uint32_t eb = chip.info.erasesize;
  const uint64_t blocks = chip.info.size / eb;
  std::vector<unsigned char> buf(eb);
  unsigned bad = 0, written = 0;
  printf("%s: %llu eraseblocks of 0x%x bytes, pages of %u, OOB %u\n", dev,
         static_cast<unsigned long long>(blocks), eb, chip.info.writesize, chip.info.oobsize);
  printf("'.' erased  'W' holds data  'B' bad  '?' unreadable\n");
  for (uint64_t b = 0; b < blocks; ++b) {
    if (b % 64 == 0) printf("%s0x%08llx ", b ? "\n" : "", static_cast<unsigned long long>(b * eb));
    char c;
    if (IsBad(chip, b * eb)) {
      c = 'B';
      ++bad;
    } else if (!FullRead(chip.fd, buf.data(), eb, static_cast<off_t>(b * eb))) {
      c = '?';
    } else {
      c = '.';
      for (unsigned char v : buf)
        if (v != 0xFF) {
          c = 'W';
          ++written;
          break;
        }
    }
    putchar(c);
  }
  printf("\nwritten blocks: %u, bad blocks: %u\n", written, bad);
  return 0;
}

// Walks good eraseblocks from offset, handing each chunk of data to fn, the
// way a boot loader would fetch an image that was written with bad blocks skipped.
// Eraseblocks that the data is expected to pass over although the chip does not
// report them bad: a block whose write failed is erased and left behind.
std::vector<uint64_t> gSkip;

template <typename Fn>
bool WalkGood(const Chip& chip, uint64_t off, uint64_t len, Fn fn) {
  const uint32_t eb = chip.info.erasesize;
  std::vector<unsigned char> buf(eb);
  uint64_t got = 0;
  while (got < len) {
    if (off >= chip.info.size) return false;
    uint64_t blockStart = off - off % eb;
    bool skip = IsBad(chip, blockStart);
    for (uint64_t b : gSkip)
      if (b * eb == blockStart) skip = true;
    if (skip) {
      off = blockStart + eb;
      continue;
    }
    uint64_t n = blockStart + eb - off;
    if (n > len - got) n = len - got;
    if (!FullRead(chip.fd, buf.data(), n, static_cast<off_t>(off))) return false;
    if (!fn(buf.data(), n, got)) return false;
    got += n;
    off += n;
  }
  return true;
}

int Cmp(const char* dev, uint64_t off, const char* file) {
  Chip chip;
  if (!OpenChip(dev, &chip)) return 2;
  FILE* f = fopen(file, "rb");
  if (!f) {
    fprintf(stderr, "boardtool: %s: %s\n", file, strerror(errno));
    return 2;
  }
  std::vector<unsigned char> want;
  unsigned char tmp[65536];
  size_t n;
  while ((n = fread(tmp, 1, sizeof tmp, f)) > 0) want.insert(want.end(), tmp, tmp + n);
  fclose(f);
  uint64_t firstDiff = UINT64_MAX;
  bool ok = WalkGood(chip, off, want.size(), [&](const unsigned char* p, uint64_t len, uint64_t at) {
    if (firstDiff == UINT64_MAX && memcmp(p, want.data() + at, len) != 0)
      for (uint64_t i = 0; i < len; ++i)
        if (p[i] != want[at + i]) {
          firstDiff = at + i;
          break;
        }
    return true;
  });
  if (!ok) {
    printf("readback 0x%llx %s: could not read %zu bytes\n", static_cast<unsigned long long>(off), file,
           want.size());
    return 1;
  }
  if (firstDiff != UINT64_MAX) {
    printf("readback 0x%llx %s: DIFFERS at byte 0x%llx\n", static_cast<unsigned long long>(off), file,
           static_cast<unsigned long long>(firstDiff));
    return 1;
  }
  printf("readback 0x%llx %s: identical, %zu bytes\n", static_cast<unsigned long long>(off), file,
         want.size());
  return 0;
}

int Erased(const char* dev, uint64_t off, uint64_t len) {
  Chip chip;
  if (!OpenChip(dev, &chip)) return 2;
  bool blank = true;
  bool ok = WalkGood(chip, off, len, [&](const unsigned char* p, uint64_t n, uint64_t) {
    for (uint64_t i = 0; i < n; ++i)
      if (p[i] != 0xFF) blank = false;
    return true;
  });
  return ok && blank ? 0 : 1;
}

int EnvMake(const char* out, int argc, char** argv) {
  std::vector<unsigned char> block(kEnvSize, 0);
  size_t pos = 4;
  for (int i = 0; i < argc; ++i) {
    size_t n = strlen(argv[i]) + 1;
    if (pos + n >= kEnvSize) {
      fprintf(stderr, "boardtool: environment too large\n");
      return 1;
    }
    memcpy(block.data() + pos, argv[i], n);
    pos += n;
  }
  uint32_t crc = Crc32(block.data() + 4, kEnvSize - 4);
  for (int i = 0; i < 4; ++i) block[i] = static_cast<unsigned char>(crc >> (8 * i));
  FILE* f = fopen(out, "wb");
  if (!f || fwrite(block.data(), 1, block.size(), f) != block.size() || fclose(f) != 0) {
    fprintf(stderr, "boardtool: cannot write %s\n", out);
    return 1;
  }
  return 0;
}

int EnvPrint(const char* dev, uint64_t off) {
  int fd = open(dev, O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "boardtool: %s: %s\n", dev, strerror(errno));
    return 1;
  }
  std::vector<unsigned char> block(kEnvSize);
  if (!FullRead(fd, block.data(), kEnvSize, static_cast<off_t>(off))) {
    printf("environment at 0x%llx: unreadable\n", static_cast<unsigned long long>(off));
    return 1;
  }
  close(fd);
  uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) stored |= static_cast<uint32_t>(block[i]) << (8 * i);
  uint32_t computed = Crc32(block.data() + 4, kEnvSize - 4);
  if (stored == computed)
    printf("crc ok 0x%08x\n", stored);
  else
    printf("crc BAD stored 0x%08x computed 0x%08x\n", stored, computed);
  size_t p = 4;
  while (p < kEnvSize && block[p] != 0) {
    size_t e = p;
    while (e < kEnvSize && block[e] != 0) ++e;
    if (e == kEnvSize) {
      printf("(unterminated entry)\n");
      break;
    }
    printf("%.*s\n", static_cast<int>(e - p), reinterpret_cast<const char*>(block.data() + p));
    p = e + 1;
  }
  return stored == computed ? 0 : 1;
}

int Prng(uint64_t seed, uint64_t size) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  std::vector<unsigned char> out;
  out.reserve(size);
  while (out.size() < size) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (int i = 0; i < 8 && out.size() < size; ++i) out.push_back(static_cast<unsigned char>(x >> (8 * i)));
  }
  return fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}

// Busybox losetup cannot limit the size, and the boot-environment partition
// must look exactly one eraseblock long, as on the board.
int Loop(const char* loopDev, const char* file, uint64_t off, uint64_t size) {
  int lfd = open(loopDev, O_RDWR);
  int ffd = open(file, O_RDWR);
  if (lfd < 0 || ffd < 0) {
    fprintf(stderr, "boardtool: loop: %s\n", strerror(errno));
    return 1;
  }
  if (ioctl(lfd, LOOP_SET_FD, ffd) != 0) {
    fprintf(stderr, "boardtool: LOOP_SET_FD: %s\n", strerror(errno));
    return 1;
  }
  loop_info64 info{};
  info.lo_offset = off;
  info.lo_sizelimit = size;
  if (ioctl(lfd, LOOP_SET_STATUS64, &info) != 0) {
    fprintf(stderr, "boardtool: LOOP_SET_STATUS64: %s\n", strerror(errno));
    ioctl(lfd, LOOP_CLR_FD, 0);
    return 1;
  }
  close(ffd);
  close(lfd);
  return 0;
}

// OOB image records as the board's tools keep them: a 2048-byte page, then the
// first 32 bytes of its OOB area. Bytes 0 and 1 stay 0xFF, where the chip keeps
// its bad-block marker; the rest is pseudo-random so that misplaced bytes show.
int OobImg(uint64_t seed, uint64_t blocks) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 7;
  auto next = [&x]() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<unsigned char>(x >> 29);
  };
  unsigned char rec[2048 + 32];
  for (uint64_t p = 0; p < blocks * 64; ++p) {
    for (unsigned char& c : rec) c = next();
    rec[2048] = rec[2049] = 0xFF;
    if (fwrite(rec, 1, sizeof rec, stdout) != sizeof rec) return 1;
  }
  return 0;
}

int CmpOob(const char* dev, uint64_t off, const char* file) {
  Chip chip;
  if (!OpenChip(dev, &chip)) return 2;
  int fd = open(dev, O_RDWR);
  FILE* f = fopen(file, "rb");
  if (fd < 0 || !f) {
    fprintf(stderr, "boardtool: cmpoob: %s\n", strerror(errno));
    return 2;
  }
  // Records are programmed raw, so the chip's ECC bytes beyond the record's 32 OOB bytes stay
  // blank: an ECC read would "correct" good data. Compare what was programmed.
  if (ioctl(fd, MTDFILEMODE, MTD_FILE_MODE_RAW) != 0) {
    fprintf(stderr, "boardtool: cmpoob: MTDFILEMODE: %s\n", strerror(errno));
    return 2;
  }
  unsigned char want[2048 + 32], page[2048], oob[32];
  uint64_t n = 0;
  while (fread(want, 1, sizeof want, f) == sizeof want) {
    uint64_t at = off + n * 2048;
    mtd_oob_buf64 req{};
    req.start = at;
    req.length = 32;
    req.usr_ptr = reinterpret_cast<uintptr_t>(oob);
    if (!FullRead(fd, page, 2048, static_cast<off_t>(at)) || ioctl(fd, MEMREADOOB64, &req) != 0) {
      printf("oob readback 0x%llx %s: page 0x%llx unreadable\n", static_cast<unsigned long long>(off), file,
             static_cast<unsigned long long>(at));
      return 1;
    }
    if (memcmp(page, want, 2048) != 0 || memcmp(oob, want + 2048, 32) != 0) {
      printf("oob readback 0x%llx %s: record %llu DIFFERS (%s)\n", static_cast<unsigned long long>(off), file,
             static_cast<unsigned long long>(n), memcmp(page, want, 2048) ? "data" : "OOB");
      return 1;
    }
    ++n;
  }
  printf("oob readback 0x%llx %s: identical, %llu pages with OOB\n", static_cast<unsigned long long>(off),
         file, static_cast<unsigned long long>(n));
  return 0;
}

// A copy with OOB (dupoob) must hold what the source pages hold, bit for bit, whatever ECC
// bytes they carry: both sides are read raw, page data and the first 32 OOB bytes.
int CmpCopy(const char* dev, uint64_t dst, uint64_t src, uint64_t len) {
  int fd = open(dev, O_RDONLY);
  if (fd < 0 || ioctl(fd, MTDFILEMODE, MTD_FILE_MODE_RAW) != 0) {
    fprintf(stderr, "boardtool: cmpcopy: %s\n", strerror(errno));
    return 2;
  }
  unsigned char a[2048], b[2048], aoob[32], boob[32];
  uint64_t n = 0;
  for (uint64_t at = 0; at < len; at += 2048, ++n) {
    mtd_oob_buf64 ra{}, rb{};
    ra.start = src + at;
    rb.start = dst + at;
    ra.length = rb.length = 32;
    ra.usr_ptr = reinterpret_cast<uintptr_t>(aoob);
    rb.usr_ptr = reinterpret_cast<uintptr_t>(boob);
    bool ok = FullRead(fd, a, 2048, static_cast<off_t>(src + at)) &&
              FullRead(fd, b, 2048, static_cast<off_t>(dst + at)) && ioctl(fd, MEMREADOOB64, &ra) == 0 &&
              ioctl(fd, MEMREADOOB64, &rb) == 0;
    if (!ok) {
      printf("copy 0x%llx of 0x%llx: page %llu unreadable\n", static_cast<unsigned long long>(dst),
             static_cast<unsigned long long>(src), static_cast<unsigned long long>(n));
      return 1;
    }
    if (memcmp(a, b, 2048) != 0 || memcmp(aoob, boob, 32) != 0) {
      printf("copy 0x%llx of 0x%llx: page %llu DIFFERS (%s)\n", static_cast<unsigned long long>(dst),
             static_cast<unsigned long long>(src), static_cast<unsigned long long>(n),
             memcmp(a, b, 2048) ? "data" : "OOB");
      return 1;
    }
  }
  printf("copy 0x%llx of 0x%llx: identical, %llu pages with OOB\n", static_cast<unsigned long long>(dst),
         static_cast<unsigned long long>(src), static_cast<unsigned long long>(n));
  return 0;
}

// A digest of a range as the chip holds it: every page raw with its whole OOB area, and each
// block's bad mark, so that a line which must leave the range alone can be held to every bit.
int Digest(const char* dev, uint64_t off, uint64_t len) {
  Chip chip;
  if (!OpenChip(dev, &chip)) return 2;
  if (ioctl(chip.fd, MTDFILEMODE, MTD_FILE_MODE_RAW) != 0) {
    fprintf(stderr, "boardtool: digest: MTDFILEMODE: %s\n", strerror(errno));
    return 2;
  }
  const uint32_t ps = chip.info.writesize, oobsize = chip.info.oobsize, eb = chip.info.erasesize;
  std::vector<unsigned char> page(ps), oob(oobsize);
  uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
  auto mix = [&h](const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  };
  for (uint64_t at = off; at < off + len; at += ps) {
    if (at % eb == 0) {
      unsigned char bad = static_cast<unsigned char>(IsBad(chip, at));
      mix(&bad, 1);
    }
    mtd_oob_buf64 req{};
    req.start = at;
    req.length = oobsize;
    req.usr_ptr = reinterpret_cast<uintptr_t>(oob.data());
    if (!FullRead(chip.fd, page.data(), ps, static_cast<off_t>(at)) ||
        ioctl(chip.fd, MEMREADOOB64, &req) != 0) {
      printf("0x%llx+0x%llx unreadable at 0x%llx\n", static_cast<unsigned long long>(off),
             static_cast<unsigned long long>(len), static_cast<unsigned long long>(at));
      return 1;
    }
    mix(page.data(), ps);
    mix(oob.data(), oobsize);
  }
  printf("0x%llx+0x%llx %016llx\n", static_cast<unsigned long long>(off),
         static_cast<unsigned long long>(len), static_cast<unsigned long long>(h));
  return 0;
}

// Bit flips that every read sees, not the random ones of nandsim's bitflips=: the page is
// programmed with ECC, then programmed again raw with the listed bits cleared. Programming
// only clears bits and the raw pass leaves the OOB blank, so the ECC bytes stay those of
// the first pass, and the chip's ECC sees exactly these bits as flipped.
int Flip(const char* dev, uint64_t off, uint64_t seed, int nbits, char** bits) {
  int fd = open(dev, O_RDWR);
  if (fd < 0) {
    fprintf(stderr, "boardtool: flip: %s: %s\n", dev, strerror(errno));
    return 1;
  }
  unsigned char page[2048];
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 3;
  for (unsigned char& c : page) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<unsigned char>(x >> 29);
  }
  std::vector<uint64_t> list;
  for (int i = 0; i < nbits; ++i) {
    uint64_t b = strtoull(bits[i], nullptr, 0);
    if (b >= 2048 * 8) return Usage();
    list.push_back(b);
    page[b / 8] |= static_cast<unsigned char>(1u << (b % 8));
  }
  if (pwrite(fd, page, sizeof page, static_cast<off_t>(off)) != static_cast<ssize_t>(sizeof page)) {
    fprintf(stderr, "boardtool: flip: write at 0x%llx: %s\n", static_cast<unsigned long long>(off),
            strerror(errno));
    return 1;
  }
  for (uint64_t b : list) page[b / 8] &= static_cast<unsigned char>(~(1u << (b % 8)));
  // The blank OOB goes along: a raw program without it leaves the chip short of bytes.
  unsigned char oob[64];
  memset(oob, 0xFF, sizeof oob);
  mtd_write_req req{};
  req.start = off;
  req.len = sizeof page;
  req.ooblen = sizeof oob;
  req.usr_data = reinterpret_cast<uintptr_t>(page);
  req.usr_oob = reinterpret_cast<uintptr_t>(oob);
  req.mode = MTD_OPS_RAW;
  if (ioctl(fd, MEMWRITE, &req) != 0) {
    fprintf(stderr, "boardtool: flip: raw write at 0x%llx: %s\n", static_cast<unsigned long long>(off),
            strerror(errno));
    return 1;
  }
  close(fd);
  return 0;
}

uint64_t Num(const char* s) { return strtoull(s, nullptr, 0); }

// Holds an exclusive lock on path, as a running update holds its lock, until killed; ready is
// created once the lock is held.
int Hold(const char* path, const char* ready) {
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || flock(fd, LOCK_EX) != 0) {
    fprintf(stderr, "boardtool: hold: %s: %s\n", path, strerror(errno));
    return 1;
  }
  close(open(ready, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string cmd = argv[1];
  if (cmd == "map" && argc == 3) return Map(argv[2]);
  if (cmd == "cmp" && (argc == 5 || argc == 6)) {
    if (argc == 6)
      for (char* t = strtok(argv[5], ","); t; t = strtok(nullptr, ",")) gSkip.push_back(Num(t));
    return Cmp(argv[2], Num(argv[3]), argv[4]);
  }
  if (cmd == "erased" && argc == 5) return Erased(argv[2], Num(argv[3]), Num(argv[4]));
  if (cmd == "envmake" && argc >= 3) return EnvMake(argv[2], argc - 3, argv + 3);
  if (cmd == "envprint" && (argc == 3 || argc == 4)) return EnvPrint(argv[2], argc == 4 ? Num(argv[3]) : 0);
  if (cmd == "loop" && argc == 6) return Loop(argv[2], argv[3], Num(argv[4]), Num(argv[5]));
  if (cmd == "oobimg" && argc == 4) return OobImg(Num(argv[2]), Num(argv[3]));
  if (cmd == "cmpoob" && argc == 5) return CmpOob(argv[2], Num(argv[3]), argv[4]);
  if (cmd == "cmpcopy" && argc == 6) return CmpCopy(argv[2], Num(argv[3]), Num(argv[4]), Num(argv[5]));
  if (cmd == "digest" && argc == 5) return Digest(argv[2], Num(argv[3]), Num(argv[4]));
  if (cmd == "flip" && argc >= 6) return Flip(argv[2], Num(argv[3]), Num(argv[4]), argc - 5, argv + 5);
  if (cmd == "prng" && argc == 4) return Prng(Num(argv[2]), Num(argv[3]));
  if (cmd == "hold" && argc == 4) return Hold(argv[2], argv[3]);
  return Usage();
}
