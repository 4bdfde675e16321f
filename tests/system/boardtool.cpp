// The board's probe of the chip, on a deliberately plain path of its own (read(), MEMGETBADBLOCK),
// so that what the system tier reports does not rest on the layers it checks. Also makes the images.
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
const U kEnvSize = 0x20000, kPage = 2048, kRecOob = 32, kRec = kPage + kRecOob;

uint32_t Crc32(const unsigned char* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

// The test images' one generator (xorshift); each kind of image starts it at its own place.
unsigned char Byte(U& x) { return (x ^= x << 13, x ^= x >> 7, x ^= x << 17) >> 29; }

U Num(const char* s) { return strtoull(s, nullptr, 0); }

// "a:b,c" as numbers: the board's /init passes its specs as the host wrote them.
std::vector<U> Nums(const char* s) {
  std::vector<U> v;
  for (char* end = nullptr;; s = end + 1) {
    v.push_back(strtoull(s, &end, 0));
    if (*end != ':' && *end != ',') return v;
  }
}

int Fail(const char* what) { return fprintf(stderr, "boardtool: %s: %s\n", what, strerror(errno)), 1; }

bool FullRead(int fd, unsigned char* buf, size_t n, U off) {
  for (size_t done = 0; done < n;) {
    ssize_t r = pread(fd, buf + done, n - done, static_cast<off_t>(off + done));
    // A corrected bit flip is reported as EUCLEAN with the data delivered.
    if (r < 0 && errno == EUCLEAN) return true;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

int fd = -1;
mtd_info_user info{};

// Raw: no ECC, for pages programmed raw and for speed (software ECC makes a map take seconds).
bool Open(const char* dev, bool raw) {
  if ((fd = open(dev, O_RDONLY)) < 0) return !Fail(dev);
  if (ioctl(fd, MEMGETINFO, &info) != 0) return !Fail("MEMGETINFO");
  return !raw || ioctl(fd, MTDFILEMODE, MTD_FILE_MODE_RAW) == 0 || !Fail("MTDFILEMODE");
}

bool IsBad(U at) {
  loff_t o = at;
  return ioctl(fd, MEMGETBADBLOCK, &o) > 0;
}

bool ReadPage(U at, unsigned char* page, unsigned char* oob, U ooblen) {
  mtd_oob_buf64 req{at, 0, static_cast<uint32_t>(ooblen), reinterpret_cast<uintptr_t>(oob)};
  return FullRead(fd, page, kPage, at) && ioctl(fd, MEMREADOOB64, &req) == 0;
}

int Map(const char* dev) {
  if (!Open(dev, true)) return 1;
  const uint32_t eb = info.erasesize;
  const U blocks = info.size / eb;
  Bytes buf(eb);
  unsigned bad = 0, written = 0;
  printf("%s: %llu eraseblocks of 0x%x bytes, pages of %u, OOB %u\n", dev, blocks, eb, info.writesize,
         info.oobsize);
  printf("'.' erased  'W' holds data  'B' bad  '?' unreadable\n");
  for (U b = 0; b < blocks; ++b) {
    if (b % 64 == 0) printf("%s0x%08llx ", b ? "\n" : "", b * eb);
    const char c = IsBad(b * eb)                                   ? 'B'
                   : !FullRead(fd, buf.data(), eb, b * eb)         ? '?'
                   : std::count(buf.begin(), buf.end(), 0xFF) < eb ? 'W'
                                                                   : '.';
    bad += c == 'B';
    written += c == 'W';
    putchar(c);
  }
  printf("\nwritten blocks: %u, bad blocks: %u\n", written, bad);
  return 0;
}

// Offset in want of the first byte that the good eraseblocks from off on do not hold, as the boot
// loader reads an image written with bad blocks skipped; want.size() when they hold it all.
U Mismatch(const char* dev, U off, const Bytes& want) {
  Bytes got(want.size());
  if (!Open(dev, false)) return 0;
  const U eb = info.erasesize;
  for (U done = 0, n = 0; done < got.size(); done += n, off += n) {
    n = IsBad(off - off % eb) ? 0 : std::min(eb - off % eb, got.size() - done);
    if (!n) off += eb - off % eb;
    if (off >= info.size || (n && !FullRead(fd, &got[done], n, off))) return done;
  }
  return std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin();
}

bool ReadFile(const char* path, Bytes* out) {
  std::ifstream f(path, std::ios::binary);
  out->assign(std::istreambuf_iterator<char>(f), {});
  return f.is_open() || !Fail(path);
}

int Cmp(const char* dev, U off, const char* file) {
  Bytes want;
  if (!ReadFile(file, &want)) return 2;
  const U at = Mismatch(dev, off, want);
  if (at < want.size()) return printf("readback 0x%llx %s: DIFFERS from byte 0x%llx\n", off, file, at), 1;
  return printf("readback 0x%llx %s: identical, %zu bytes\n", off, file, want.size()), 0;
}

int Erased(const char* dev, const char* off, const char* len) {
  const bool ok = Mismatch(dev, Num(off), Bytes(Num(len), 0xFF)) == Num(len);
  return printf("range %s length %s: %s\n", off, len, ok ? "erased" : "NOT erased"), !ok;
}

int EnvMake(const char* out, int argc, char** argv) {
  Bytes block(4);
  for (int i = 0; i < argc; ++i) block.insert(block.end(), argv[i], argv[i] + strlen(argv[i]) + 1);
  if (block.size() >= kEnvSize) return fprintf(stderr, "boardtool: environment too large\n"), 1;
  block.resize(kEnvSize, 0);
  const uint32_t crc = Crc32(block.data() + 4, kEnvSize - 4);
  memcpy(block.data(), &crc, 4);  // little-endian, like the board
  FILE* f = fopen(out, "wb");
  if (!f || fwrite(block.data(), 1, block.size(), f) != block.size() || fclose(f) != 0) return Fail(out);
  return 0;
}

int EnvPrint(const char* dev, U off) {
  Bytes block(kEnvSize);
  if (!Open(dev, false) || !FullRead(fd, block.data(), kEnvSize, off))
    return printf("environment at 0x%llx: unreadable\n", off), 1;
  uint32_t stored;
  memcpy(&stored, block.data(), 4);
  const uint32_t computed = Crc32(block.data() + 4, kEnvSize - 4);
  printf(stored == computed ? "crc ok 0x%08x\n" : "crc BAD stored 0x%08x computed 0x%08x\n", stored,
         computed);
  block.push_back(0);  // ends an unterminated last entry
  for (size_t p = 4; p < kEnvSize && block[p]; p += strlen(reinterpret_cast<const char*>(&block[p])) + 1)
    printf("%s\n", reinterpret_cast<const char*>(&block[p]));
  return stored != computed;
}

// Busybox losetup cannot limit the size; the environment partition is one eraseblock, as on the board.
int Loop(const char* loopDev, const char* file, U off, U size) {
  const int lfd = open(loopDev, O_RDWR), ffd = open(file, O_RDWR);
  loop_info64 info{};
  info.lo_offset = off;
  info.lo_sizelimit = size;
  if (lfd < 0 || ffd < 0 || ioctl(lfd, LOOP_SET_FD, ffd) != 0) return Fail("loop");
  return ioctl(lfd, LOOP_SET_STATUS64, &info) == 0 ? 0 : Fail("LOOP_SET_STATUS64");
}

// Pseudo-random, so that misplaced bytes show; OOB records (a page, then 32 OOB bytes) keep 0xFF in
// the first two OOB bytes, where the chip keeps its bad-block marker.
int Image(U seed, U size, U rec) {
  U x = seed * 0x9E3779B97F4A7C15ull + (rec ? 7 : 1);
  for (U i = 0; i < size; ++i) putchar(rec && i % rec - kPage < 2 ? 0xFF : Byte(x));
  return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

// Raw: records are programmed raw, their ECC bytes left blank, so an ECC read would "correct" them;
// and a copy with OOB must hold its source bit for bit, whatever the ECC says.
bool ReadRecords(U at, U pages, Bytes* out, U oob = kRecOob) {
  out->resize(pages * (kPage + oob));
  for (U n = 0, r = 0; n < pages; ++n, r += kPage + oob)
    if (!ReadPage(at + n * kPage, &(*out)[r], &(*out)[r + kPage], oob)) return false;
  return true;
}

int CmpRecords(const std::string& what, U dst, const Bytes& want) {
  Bytes got;
  const char* w = what.c_str();
  if (!ReadRecords(dst, want.size() / kRec, &got)) return printf("%s: unreadable\n", w), 1;
  const U at = std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin();
  if (at < want.size()) return printf("%s: DIFFERS at byte 0x%llx of the records\n", w, at), 1;
  return printf("%s: identical, %llu pages with OOB\n", w, want.size() / kRec), 0;
}

int CmpOob(const char* dev, const char* off, const char* file) {
  Bytes want;
  if (!ReadFile(file, &want) || !Open(dev, true)) return 2;
  want.resize(want.size() / kRec * kRec);
  return CmpRecords("oob readback " + std::string(off) + " " + file, Num(off), want);
}

// The copy as the host names it, "dst:src:length".
int CmpCopy(const char* dev, const char* copy) {
  const std::vector<U> a = Nums(copy);
  Bytes want;
  if (a.size() != 3 || !Open(dev, true) || !ReadRecords(a[1], a[2] / kPage, &want)) return 2;
  char head[64];
  snprintf(head, sizeof head, "copy 0x%llx of 0x%llx", a[0], a[1]);
  return CmpRecords(head, a[0], want);
}

// A digest of a range as the chip holds it: every page raw with its whole OOB area, and each
// block's bad mark, so that a line which must leave the range alone can be held to every bit.
int Digest(const char* dev, U off, U len) {
  Bytes recs;
  if (!Open(dev, true) || !ReadRecords(off, len / kPage, &recs, info.oobsize))
    return printf("0x%llx+0x%llx unreadable\n", off, len), 1;
  for (U b = off; b < off + len; b += info.erasesize) recs.push_back(IsBad(b));
  U h = 0xcbf29ce484222325ull;  // FNV-1a
  for (unsigned char c : recs) h = (h ^ c) * 0x100000001b3ull;
  return printf("0x%llx+0x%llx %016llx\n", off, len, h), 0;
}

// Bit flips every read sees (nandsim's bitflips= are random): the page is programmed with ECC, then
// again raw with the listed bits cleared and the OOB blank, so the ECC bytes stay those of the first
// pass and the chip's ECC sees exactly these bits flipped. flips: "offset:seed:bit,...".
int Flip(const char* dev, const char* flips) {
  const std::vector<U> a = Nums(flips);
  fd = open(dev, O_RDWR);
  if (fd < 0 || a.size() < 3 || *std::max_element(a.begin() + 2, a.end()) >= kPage * 8) return Fail(dev);
  Bytes buf(kPage + 64, 0xFF);  // the page, then its OOB area
  unsigned char* page = buf.data();
  U x = a[1] * 0x9E3779B97F4A7C15ull + 3;
  for (U i = 0; i < kPage; ++i) page[i] = Byte(x);
  for (size_t i = 2; i < a.size(); ++i) page[a[i] / 8] |= static_cast<unsigned char>(1u << (a[i] % 8));
  if (pwrite(fd, page, kPage, static_cast<off_t>(a[0])) != ssize_t(kPage)) return Fail("flip: write");
  for (size_t i = 2; i < a.size(); ++i) page[a[i] / 8] &= static_cast<unsigned char>(~(1u << (a[i] % 8)));
  // The blank OOB goes along: a raw program without it leaves the chip short of bytes.
  const U p = reinterpret_cast<uintptr_t>(page);
  mtd_write_req req{a[0], kPage, 64, p, p + kPage, MTD_OPS_RAW, {}};
  return ioctl(fd, MEMWRITE, &req) == 0 ? 0 : Fail("flip: raw write");
}

// Holds the lock as a running update does, until killed; ready tells that it is held.
int Hold(const char* path, const char* ready) {
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || flock(fd, LOCK_EX) != 0) return Fail(path);
  close(open(ready, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  char** a = argv + 2;
  const int n = argc - 2;
  if (cmd == "map" && n == 1) return Map(a[0]);
  if (cmd == "cmp" && n == 3) return Cmp(a[0], Num(a[1]), a[2]);
  if (cmd == "erased" && n == 3) return Erased(a[0], a[1], a[2]);
  if (cmd == "envmake" && n >= 1) return EnvMake(a[0], n - 1, a + 1);
  if (cmd == "envprint" && n == 2) return EnvPrint(a[0], Num(a[1]));
  if (cmd == "loop" && n == 4) return Loop(a[0], a[1], Num(a[2]), Num(a[3]));
  if (cmd == "oobimg" && n == 2) return Image(Num(a[0]), Num(a[1]) * 64 * kRec, kRec);
  if (cmd == "cmpoob" && n == 3) return CmpOob(a[0], a[1], a[2]);
  if (cmd == "cmpcopy" && n == 2) return CmpCopy(a[0], a[1]);
  if (cmd == "digest" && n == 3) return Digest(a[0], Num(a[1]), Num(a[2]));
  if (cmd == "flip" && n == 2) return Flip(a[0], a[1]);
  if (cmd == "prng" && n == 2) return Image(Num(a[0]), Num(a[1]), 0);
  if (cmd == "hold" && n == 2) return Hold(a[0], a[1]);
  return fprintf(stderr, "usage: boardtool COMMAND ARGS..., the commands as main() takes them\n"), 2;
}
