#include "GzipCheck.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "UCrc32.h"

namespace {

const int kMaxBits = 15;
const int kFastBits = 9;  // codes this short decode with one table look-up
const uint32_t kWindow = 32768;
// The smallest whole member: 10 header bytes, an empty final block, 8 trailer bytes.
const long long kMinMember = 20;

// A canonical Huffman code: counts per length, symbols in code order, and a table for short codes
// (entry: symbol << 4 | length, 0 for a longer or unused code).
struct Huffman {
  uint16_t count[kMaxBits + 1];
  uint16_t symbol[320];
  uint16_t fast[1 << kFastBits];
};

// false for an over-subscribed code; an incomplete one is kept, its unused codes fail to decode.
bool Build(Huffman* h, const uint8_t* lengths, int n) {
  memset(h->count, 0, sizeof h->count);
  memset(h->fast, 0, sizeof h->fast);
  for (int s = 0; s < n; ++s) h->count[lengths[s]]++;
  if (h->count[0] == n) return true;  // no codes: any attempt to decode fails
  int left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left = (left << 1) - h->count[len];
    if (left < 0) return false;
  }
  uint16_t offs[kMaxBits + 2];
  uint16_t next[kMaxBits + 1];
  offs[1] = 0;
  int code = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    offs[len + 1] = static_cast<uint16_t>(offs[len] + h->count[len]);
    code = (code + (len > 1 ? h->count[len - 1] : 0)) << 1;
    next[len] = static_cast<uint16_t>(code);
  }
  for (int s = 0; s < n; ++s) {
    const int len = lengths[s];
    if (len == 0) continue;
    h->symbol[offs[len]++] = static_cast<uint16_t>(s);
    if (len > kFastBits) {
      next[len]++;
      continue;
    }
    // Codes go into the stream most significant bit first, the table is indexed by stream order.
    int c = next[len]++, rev = 0;
    for (int i = 0; i < len; ++i) rev |= ((c >> i) & 1) << (len - 1 - i);
    for (int fill = rev; fill < (1 << kFastBits); fill += 1 << len)
      h->fast[fill] = static_cast<uint16_t>(s << 4 | len);
  }
  return true;
}

class Reader {
 public:
  explicit Reader(int fd) : fd_(fd), buf_(1 << 16) {}

  // Bytes consumed so far; bits already taken into the bit buffer but not used are not counted.
  long long Offset() const { return pulled_ - bitcnt_ / 8; }
  bool Failed() const { return failed_; }

  // n (at most 32) bits, least significant first; 0 and failed at the end of the data.
  uint32_t Bits(int n) {
    while (bitcnt_ < n) {
      int b = Pull();
      if (b < 0) {
        failed_ = true;
        return 0;
      }
      bitbuf_ |= static_cast<uint64_t>(b) << bitcnt_;
      bitcnt_ += 8;
    }
    uint32_t v = static_cast<uint32_t>(bitbuf_ & ((1ull << n) - 1));
    bitbuf_ >>= n;
    bitcnt_ -= n;
    return v;
  }

  // Whole bytes after the deflate stream: the bits left in the current byte are padding.
  void Align() {
    bitbuf_ >>= bitcnt_ % 8;
    bitcnt_ -= bitcnt_ % 8;
  }
  int Byte() { return static_cast<int>(Bits(8)); }

  int Decode(const Huffman& h) {
    // Up to kFastBits bits, fewer only at the end of the data.
    while (bitcnt_ < kFastBits) {
      int b = Pull();
      if (b < 0) break;
      bitbuf_ |= static_cast<uint64_t>(b) << bitcnt_;
      bitcnt_ += 8;
    }
    const uint16_t e = h.fast[bitbuf_ & ((1u << kFastBits) - 1)];
    if (e != 0 && (e & 15) <= bitcnt_) {
      bitbuf_ >>= (e & 15);
      bitcnt_ -= (e & 15);
      return e >> 4;
    }
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
      code |= static_cast<int>(Bits(1));
      if (failed_) return -1;
      const int count = h.count[len];
      if (code - count < first) return h.symbol[index + (code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    failed_ = true;  // a code the table does not hold
    return -1;
  }

  // true when at least n more bytes follow (whatever is held in the bit buffer included).
  bool Has(long long n) {
    const long long have = (avail_ - pos_) + bitcnt_ / 8;
    if (have >= n) return true;
    // Keep the unread bytes and fill the rest of the buffer.
    memmove(buf_.data(), buf_.data() + pos_, avail_ - pos_);
    avail_ -= pos_;
    pos_ = 0;
    while (avail_ < buf_.size() && (avail_ - pos_) + bitcnt_ / 8 < static_cast<size_t>(n)) {
      ssize_t got = read(fd_, buf_.data() + avail_, buf_.size() - avail_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      avail_ += static_cast<size_t>(got);
    }
    return static_cast<long long>(avail_ - pos_) + bitcnt_ / 8 >= n;
  }

  // The next byte without consuming it (only when Has(1) and the bit buffer is aligned and empty).
  int Peek(size_t i) const { return buf_[pos_ + i]; }

 private:
  int Pull() {
    if (pos_ == avail_) {
      pos_ = avail_ = 0;
      for (;;) {
        ssize_t got = read(fd_, buf_.data(), buf_.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        avail_ = static_cast<size_t>(got);
        break;
      }
    }
    ++pulled_;
    return buf_[pos_++];
  }

  int fd_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, avail_ = 0;
  long long pulled_ = 0;
  uint64_t bitbuf_ = 0;
  int bitcnt_ = 0;
  bool failed_ = false;
};

const uint16_t kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t kCodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// One deflate stream: its output only feeds the CRC and the length, through a 32 KiB window.
class Inflater {
 public:
  explicit Inflater(Reader* in) : in_(*in), window_(kWindow) {}

  bool Run() {
    for (;;) {
      const uint32_t last = in_.Bits(1);
      const uint32_t type = in_.Bits(2);
      if (in_.Failed()) return false;
      bool ok = false;
      if (type == 0) ok = Stored();
      if (type == 1) ok = Fixed();
      if (type == 2) ok = Dynamic();
      if (!ok) return false;
      if (last) return true;
    }
  }

  uint32_t Crc() const { return ~crc_; }
  uint32_t Length() const { return static_cast<uint32_t>(total_); }

 private:
  void Put(uint8_t b) {
    crc_ = crc_table[(crc_ ^ b) & 0xFF] ^ (crc_ >> 8);
    window_[total_ & (kWindow - 1)] = b;
    ++total_;
  }

  bool Stored() {
    in_.Align();
    const uint32_t len = in_.Bits(16), nlen = in_.Bits(16);
    if (in_.Failed() || len != (~nlen & 0xFFFF)) return false;
    for (uint32_t i = 0; i < len; ++i) {
      const int b = in_.Byte();
      if (in_.Failed()) return false;
      Put(static_cast<uint8_t>(b));
    }
    return true;
  }

  bool Fixed() {
    if (!fixed_ready_) {
      uint8_t lengths[288];
      for (int s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
      uint8_t dist[30];
      memset(dist, 5, sizeof dist);
      if (!Build(&fixed_lit_, lengths, 288) || !Build(&fixed_dist_, dist, 30)) return false;
      fixed_ready_ = true;
    }
    return Codes(fixed_lit_, fixed_dist_);
  }

  bool Dynamic() {
    const int nlen = static_cast<int>(in_.Bits(5)) + 257;
    const int ndist = static_cast<int>(in_.Bits(5)) + 1;
    const int ncode = static_cast<int>(in_.Bits(4)) + 4;
    if (in_.Failed() || nlen > 286 || ndist > 30) return false;
    uint8_t lengths[320];
    memset(lengths, 0, sizeof lengths);
    for (int i = 0; i < ncode; ++i) lengths[kCodeOrder[i]] = static_cast<uint8_t>(in_.Bits(3));
    if (in_.Failed() || !Build(&lit_, lengths, 19)) return false;
    int at = 0;
    while (at < nlen + ndist) {
      int sym = in_.Decode(lit_);
      if (sym < 0) return false;
      if (sym < 16) {
        lengths[at++] = static_cast<uint8_t>(sym);
        continue;
      }
      uint8_t value = 0;
      int repeat;
      if (sym == 16) {
        if (at == 0) return false;
        value = lengths[at - 1];
        repeat = 3 + static_cast<int>(in_.Bits(2));
      } else if (sym == 17) {
        repeat = 3 + static_cast<int>(in_.Bits(3));
      } else {
        repeat = 11 + static_cast<int>(in_.Bits(7));
      }
      if (in_.Failed() || at + repeat > nlen + ndist) return false;
      while (repeat--) lengths[at++] = value;
    }
    if (lengths[256] == 0) return false;  // no end-of-block code
    if (!Build(&lit_, lengths, nlen) || !Build(&dist_, lengths + nlen, ndist)) return false;
    return Codes(lit_, dist_);
  }

  bool Codes(const Huffman& lit, const Huffman& dist) {
    for (;;) {
      int sym = in_.Decode(lit);
      if (sym < 0) return false;
      if (sym < 256) {
        Put(static_cast<uint8_t>(sym));
        continue;
      }
      if (sym == 256) return true;
      sym -= 257;
      if (sym >= 29) return false;
      const uint32_t len = kLenBase[sym] + in_.Bits(kLenExtra[sym]);
      const int ds = in_.Decode(dist);
      if (ds < 0 || ds >= 30) return false;
      const uint32_t d = kDistBase[ds] + in_.Bits(kDistExtra[ds]);
      if (in_.Failed() || d > total_ || d > kWindow) return false;
      for (uint32_t i = 0; i < len; ++i) Put(window_[(total_ - d) & (kWindow - 1)]);
    }
  }

  Reader& in_;
  std::vector<uint8_t> window_;
  uint64_t total_ = 0;
  uint32_t crc_ = 0xFFFFFFFFu;
  Huffman lit_, dist_, fixed_lit_, fixed_dist_;
  bool fixed_ready_ = false;
};

uint32_t Le32(Reader& in) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(in.Byte()) << (8 * i);
  return v;
}

// One member from its header to its trailer.
bool Member(Reader& in) {
  if (in.Byte() != 0x1F || in.Byte() != 0x8B || in.Byte() != 8) return false;
  const int flags = in.Byte();
  if (in.Failed() || (flags & 0xE0)) return false;
  for (int i = 0; i < 6; ++i) in.Byte();  // time, extra flags, system
  if (flags & 4) {
    uint32_t extra = static_cast<uint32_t>(in.Byte());
    extra |= static_cast<uint32_t>(in.Byte()) << 8;
    while (extra-- && !in.Failed()) in.Byte();
  }
  for (int field = 8; field <= 16; field <<= 1) {  // name, then comment: NUL-terminated
    if (!(flags & field)) continue;
    while (in.Byte() != 0 && !in.Failed()) {
    }
  }
  if (flags & 2) {
    in.Byte();
    in.Byte();
  }
  if (in.Failed()) return false;
  Inflater inflater(&in);
  if (!inflater.Run()) return false;
  in.Align();
  const uint32_t crc = Le32(in), size = Le32(in);
  return !in.Failed() && crc == inflater.Crc() && size == inflater.Length();
}

}  // namespace

int GzipCheck(int fd, long long* end) {
  if (lseek(fd, 0, SEEK_SET) != 0) return -1;
  Reader in(fd);
  do {
    if (!Member(in)) return -1;
    // Another member follows only where a whole one fits and its magic stands; anything else is
    // trailing bytes that the unpacker is never shown.
  } while (in.Has(kMinMember) && in.Peek(0) == 0x1F && in.Peek(1) == 0x8B && in.Peek(2) == 8);
  if (end) *end = in.Offset();
  return 0;
}
