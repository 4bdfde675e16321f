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

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using U = unsigned long long;
using Bytes = std::vector<unsigned char>;
const U kEnvSize = 0x20000, kPage = 2048, kRecOob = 32;

uint32_t Crc32(const unsigned char* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

// The images' one generator (xorshift); each kind of image starts it at its own place.
U Next(U& x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

int Usage() {
  fprintf(stderr,
          "usage: boardtool map DEV | cmp DEV OFFSET FILE [SKIP,...] | erased DEV OFFSET LEN\n"
          "       | envmake OUT NAME=VALUE... | envprint DEV [OFFSET] | prng SEED SIZE\n"
          "       | loop LOOPDEV FILE OFFSET SIZE | oobimg SEED BLOCKS | cmpoob DEV OFFSET FILE\n"
          "       | cmpcopy DEV DST SRC LEN | digest DEV OFFSET LEN | flip DEV OFFSET SEED BIT...\n"
          "       | hold LOCKFILE READYFILE\n"
          "cmp reads past bad eraseblocks and the listed ones; erased exits 0 when all 0xFF;\n"
          "oobimg writes 2048+32-byte records; cmpoob, cmpcopy and digest read raw.\n");
  return 2;
}

U Num(const char* s) { return strtoull(s, nullptr, 0); }

int Fail(const char* what) {
  fprintf(stderr, "boardtool: %s: %s\n", what, strerror(errno));
  return 1;
}

bool FullRead(int fd, unsigned char* buf, size_t n, U off) {
  for (size_t done = 0; done < n;) {
    ssize_t r = pread(fd, buf + done, n - done, static_cast<off_t>(off + done));
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
  // Raw: no ECC correction, for pages programmed raw and for speed (the software ECC of the
  // simulated chip would make each map of 128 MiB take seconds).
  bool Open(const char* dev, bool raw) {
    if ((fd = open(dev, O_RDONLY)) < 0) return !Fail(dev);
    if (ioctl(fd, MEMGETINFO, &info) != 0) return !Fail("MEMGETINFO");
    return !raw || ioctl(fd, MTDFILEMODE, MTD_FILE_MODE_RAW) == 0 || !Fail("MTDFILEMODE");
  }
  int IsBad(U blockStart) const {
    loff_t o = static_cast<loff_t>(blockStart);
    int r = ioctl(fd, MEMGETBADBLOCK, &o);
    return r < 0 ? 0 : r;
  }
  bool ReadPage(U at, unsigned char* page, size_t ps, unsigned char* oob, U ooblen) const {
    mtd_oob_buf64 req{};
    req.start = at;
    req.length = static_cast<uint32_t>(ooblen);
    req.usr_ptr = reinterpret_cast<uintptr_t>(oob);
    return FullRead(fd, page, ps, at) && ioctl(fd, MEMREADOOB64, &req) == 0;
  }
};

int Map(const char* dev) {
  Chip chip;
  if (!chip.Open(dev, true)) return 1;
  const uint32_t eb = chip.info.erasesize;
  const U blocks = chip.info.size / eb;
  Bytes buf(eb);
  unsigned bad = 0, written = 0;
  printf("%s: %llu eraseblocks of 0x%x bytes, pages of %u, OOB %u\n", dev, blocks, eb, chip.info.writesize,
         chip.info.oobsize);
  printf("'.' erased  'W' holds data  'B' bad  '?' unreadable\n");
  for (U b = 0; b < blocks; ++b) {
    if (b % 64 == 0) printf("%s0x%08llx ", b ? "\n" : "", b * eb);
    char c = '.';
    if (chip.IsBad(b * eb)) {
      c = 'B';
      ++bad;
    } else if (!FullRead(chip.fd, buf.data(), eb, b * eb)) {
      c = '?';
    } else if (std::any_of(buf.begin(), buf.end(), [](unsigned char v) { return v != 0xFF; })) {
      c = 'W';
      ++written;
    }
    putchar(c);
  }
  printf("\nwritten blocks: %u, bad blocks: %u\n", written, bad);
  return 0;
}

// Reads len bytes from offset over the good eraseblocks, the way a boot loader would fetch an
// image that was written with bad blocks skipped. skip: eraseblocks that the data is expected to
// pass over although the chip does not report them bad (a block whose write failed is erased
// and left behind).
bool ReadGood(const Chip& chip, U off, U len, const std::vector<U>& skip, Bytes* out) {
  const uint32_t eb = chip.info.erasesize;
  out->assign(len, 0);
  for (U got = 0; got < len;) {
    if (off >= chip.info.size) return false;
    const U block = off - off % eb;
    if (chip.IsBad(block) || std::find(skip.begin(), skip.end(), block / eb) != skip.end()) {
      off = block + eb;
      continue;
    }
    const U n = std::min(block + eb - off, len - got);
    if (!FullRead(chip.fd, out->data() + got, n, off)) return false;
    got += n;
    off += n;
  }
  return true;
}

bool ReadFile(const char* path, Bytes* out) {
  std::ifstream f(path, std::ios::binary);
  out->assign(std::istreambuf_iterator<char>(f), {});
  return f.is_open() || !Fail(path);
}

int Cmp(const char* dev, U off, const char* file, std::vector<U> skip) {
  Chip chip;
  Bytes want, got;
  if (!chip.Open(dev, false) || !ReadFile(file, &want)) return 2;
  printf("readback 0x%llx %s: ", off, file);
  if (!ReadGood(chip, off, want.size(), skip, &got))
    return printf("could not read %zu bytes\n", want.size()), 1;
  const auto diff = std::mismatch(want.begin(), want.end(), got.begin()).first;
  if (diff != want.end()) return printf("DIFFERS at byte 0x%llx\n", static_cast<U>(diff - want.begin())), 1;
  printf("identical, %zu bytes\n", want.size());
  return 0;
}

int Erased(const char* dev, U off, U len) {
  Chip chip;
  Bytes got;
  if (!chip.Open(dev, false)) return 2;
  return ReadGood(chip, off, len, {}, &got) && std::count(got.begin(), got.end(), 0xFF) == std::ptrdiff_t(len)
             ? 0
             : 1;
}

int EnvMake(const char* out, int argc, char** argv) {
  Bytes block(kEnvSize, 0);
  size_t pos = 4;
  for (int i = 0; i < argc; ++i) {
    const size_t n = strlen(argv[i]) + 1;
    if (pos + n >= kEnvSize) return fprintf(stderr, "boardtool: environment too large\n"), 1;
    memcpy(block.data() + pos, argv[i], n);
    pos += n;
  }
  const uint32_t crc = Crc32(block.data() + 4, kEnvSize - 4);
  for (int i = 0; i < 4; ++i) block[i] = static_cast<unsigned char>(crc >> (8 * i));
  FILE* f = fopen(out, "wb");
  if (!f || fwrite(block.data(), 1, block.size(), f) != block.size() || fclose(f) != 0) return Fail(out);
  return 0;
}

int EnvPrint(const char* dev, U off) {
  const int fd = open(dev, O_RDONLY);
  if (fd < 0) return Fail(dev);
  Bytes block(kEnvSize);
  if (!FullRead(fd, block.data(), kEnvSize, off))
    return printf("environment at 0x%llx: unreadable\n", off), 1;
  close(fd);
  uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) stored |= static_cast<uint32_t>(block[i]) << (8 * i);
  const uint32_t computed = Crc32(block.data() + 4, kEnvSize - 4);
  if (stored == computed)
    printf("crc ok 0x%08x\n", stored);
  else
    printf("crc BAD stored 0x%08x computed 0x%08x\n", stored, computed);
  for (size_t p = 4; p < kEnvSize && block[p] != 0;) {
    const size_t e = std::find(block.begin() + p, block.end(), 0) - block.begin();
    if (e == kEnvSize) {
      printf("(unterminated entry)\n");
      break;
    }
    printf("%s\n", reinterpret_cast<const char*>(block.data() + p));
    p = e + 1;
  }
  return stored == computed ? 0 : 1;
}

int Prng(U seed, U size) {
  U x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (U i = 0; i < size; ++i) putchar(static_cast<unsigned char>((i % 8 ? x : Next(x)) >> (8 * (i % 8))));
  return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

// Busybox losetup cannot limit the size, and the boot-environment partition
// must look exactly one eraseblock long, as on the board.
int Loop(const char* loopDev, const char* file, U off, U size) {
  const int lfd = open(loopDev, O_RDWR), ffd = open(file, O_RDWR);
  if (lfd < 0 || ffd < 0 || ioctl(lfd, LOOP_SET_FD, ffd) != 0) return Fail("loop");
  loop_info64 info{};
  info.lo_offset = off;
  info.lo_sizelimit = size;
  if (ioctl(lfd, LOOP_SET_STATUS64, &info) != 0) {
    Fail("LOOP_SET_STATUS64");
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
int OobImg(U seed, U blocks) {
  U x = seed * 0x9E3779B97F4A7C15ull + 7;
  unsigned char rec[kPage + kRecOob];
  for (U p = 0; p < blocks * 64; ++p) {
    for (unsigned char& c : rec) c = static_cast<unsigned char>(Next(x) >> 29);
    rec[kPage] = rec[kPage + 1] = 0xFF;
    if (fwrite(rec, 1, sizeof rec, stdout) != sizeof rec) return 1;
  }
  return 0;
}

// Pages from dst on, raw with their first 32 OOB bytes, against what want() gives for page n:
// records are programmed raw, so the chip's ECC bytes beyond them stay blank and an ECC read
// would "correct" good data; and a copy with OOB (dupoob) must hold what its source pages hold,
// bit for bit, whatever ECC bytes they carry.
template <typename Want>
int ComparePages(const char* dev, U dst, const std::string& what, Want want) {
  Chip chip;
  if (!chip.Open(dev, true)) return 2;
  unsigned char page[kPage], oob[kRecOob], wpage[kPage], woob[kRecOob];
  U n = 0;
  for (int w; (w = want(chip, n, wpage, woob)) != 0; ++n) {
    if (w < 0 || !chip.ReadPage(dst + n * kPage, page, kPage, oob, kRecOob))
      return printf("%s: page %llu unreadable\n", what.c_str(), n), 1;
    const bool data = memcmp(page, wpage, kPage) != 0;
    if (data || memcmp(oob, woob, kRecOob) != 0)
      return printf("%s: page %llu DIFFERS (%s)\n", what.c_str(), n, data ? "data" : "OOB"), 1;
  }
  printf("%s: identical, %llu pages with OOB\n", what.c_str(), n);
  return 0;
}

int CmpOob(const char* dev, U off, const char* file) {
  Bytes recs;
  if (!ReadFile(file, &recs)) return 2;
  char head[64];
  snprintf(head, sizeof head, "oob readback 0x%llx ", off);
  return ComparePages(dev, off, head + std::string(file),
                      [&](const Chip&, U n, unsigned char* p, unsigned char* o) {
                        if ((n + 1) * (kPage + kRecOob) > recs.size()) return 0;
                        memcpy(p, recs.data() + n * (kPage + kRecOob), kPage);
                        memcpy(o, recs.data() + n * (kPage + kRecOob) + kPage, kRecOob);
                        return 1;
                      });
}

int CmpCopy(const char* dev, U dst, U src, U len) {
  char head[64];
  snprintf(head, sizeof head, "copy 0x%llx of 0x%llx", dst, src);
  return ComparePages(dev, dst, head, [&](const Chip& chip, U n, unsigned char* p, unsigned char* o) {
    return n * kPage >= len ? 0 : chip.ReadPage(src + n * kPage, p, kPage, o, kRecOob) ? 1 : -1;
  });
}

// A digest of a range as the chip holds it: every page raw with its whole OOB area, and each
// block's bad mark, so that a line which must leave the range alone can be held to every bit.
int Digest(const char* dev, U off, U len) {
  Chip chip;
  if (!chip.Open(dev, true)) return 2;
  const uint32_t ps = chip.info.writesize, eb = chip.info.erasesize;
  Bytes page(ps), oob(chip.info.oobsize);
  U h = 0xcbf29ce484222325ull;  // FNV-1a
  auto mix = [&h](const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  };
  for (U at = off; at < off + len; at += ps) {
    if (at % eb == 0) {
      const unsigned char bad = static_cast<unsigned char>(chip.IsBad(at));
      mix(&bad, 1);
    }
    if (!chip.ReadPage(at, page.data(), ps, oob.data(), oob.size()))
      return printf("0x%llx+0x%llx unreadable at 0x%llx\n", off, len, at), 1;
    mix(page.data(), ps);
    mix(oob.data(), oob.size());
  }
  printf("0x%llx+0x%llx %016llx\n", off, len, h);
  return 0;
}

// Bit flips that every read sees, not the random ones of nandsim's bitflips=: the page is
// programmed with ECC, then programmed again raw with the listed bits cleared. Programming
// only clears bits and the raw pass leaves the OOB blank, so the ECC bytes stay those of
// the first pass, and the chip's ECC sees exactly these bits as flipped.
int Flip(const char* dev, U off, U seed, int nbits, char** bits) {
  const int fd = open(dev, O_RDWR);
  if (fd < 0) return Fail(dev);
  unsigned char page[kPage], oob[64];
  U x = seed * 0x9E3779B97F4A7C15ull + 3;
  for (unsigned char& c : page) c = static_cast<unsigned char>(Next(x) >> 29);
  for (int i = 0; i < nbits; ++i) {
    if (Num(bits[i]) >= kPage * 8) return Usage();
    page[Num(bits[i]) / 8] |= static_cast<unsigned char>(1u << (Num(bits[i]) % 8));
  }
  if (pwrite(fd, page, sizeof page, static_cast<off_t>(off)) != static_cast<ssize_t>(sizeof page))
    return Fail("flip: write");
  for (int i = 0; i < nbits; ++i)
    page[Num(bits[i]) / 8] &= static_cast<unsigned char>(~(1u << (Num(bits[i]) % 8)));
  // The blank OOB goes along: a raw program without it leaves the chip short of bytes.
  memset(oob, 0xFF, sizeof oob);
  mtd_write_req req{};
  req.start = off;
  req.len = sizeof page;
  req.ooblen = sizeof oob;
  req.usr_data = reinterpret_cast<uintptr_t>(page);
  req.usr_oob = reinterpret_cast<uintptr_t>(oob);
  req.mode = MTD_OPS_RAW;
  if (ioctl(fd, MEMWRITE, &req) != 0) return Fail("flip: raw write");
  close(fd);
  return 0;
}

// Holds an exclusive lock on path, as a running update holds its lock, until killed; ready is
// created once the lock is held.
int Hold(const char* path, const char* ready) {
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || flock(fd, LOCK_EX) != 0) return Fail(path);
  close(open(ready, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "map" && argc == 3) return Map(argv[2]);
  if (cmd == "cmp" && (argc == 5 || argc == 6)) {
    std::vector<U> skip;
    for (char* t = argc == 6 ? strtok(argv[5], ",") : nullptr; t; t = strtok(nullptr, ","))
      skip.push_back(Num(t));
    return Cmp(argv[2], Num(argv[3]), argv[4], skip);
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
