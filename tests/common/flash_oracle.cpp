#include "flash_oracle.h"

#include <errno.h>
#include <limits.h>
#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "sim_kernel.h"

namespace oracle {

// Whole-chip scans and compares run on every case: plain loops over sizes checked by the
// callers, left to the compiler's vectorizer rather than to the sanitizers' checks.
#define ORACLE_SCAN __attribute__((no_sanitize("address", "undefined")))

ORACLE_SCAN uint32_t Crc32(const uint8_t* p, size_t n) {
  static uint32_t table[256];
  if (table[1] == 0)
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      table[i] = c;
    }
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

std::string EnvBlock(const std::vector<std::string>& entries, uint32_t size) {
  std::string b(size, '\0');
  size_t at = 4;
  for (const std::string& e : entries) {
    b.replace(at, e.size(), e);
    at += e.size() + 1;
  }
  const uint32_t crc = Crc32(reinterpret_cast<const uint8_t*>(b.data()) + 4, size - 4);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  return b;
}

void Capture(sim::Chip& chip, ChipState* s) {
  const sim::Geometry& g = chip.geometry();
  s->page_size = g.page_size, s->oob_size = g.oob_size, s->eb_size = g.eb_size;
  s->data.assign(chip.data(0), chip.data(0) + g.size);
  s->oob.assign(chip.oob(0), chip.oob(0) + chip.page_count() * g.oob_size);
  s->bad.resize(chip.block_count());
  for (uint32_t b = 0; b < chip.block_count(); ++b) s->bad[b] = chip.is_bad(b);
  s->violations = chip.violations();
}

void Board(sim::Kernel& k, sim::Chip& chip) {
  const uint64_t eb = chip.geometry().eb_size, env = chip.block_count() - 1;
  k.add_mtd(0, &chip, "nand0");
  k.add_mtd(1, &chip, "u-boot", 0, 2 * eb);
  k.add_mtd(2, &chip, "kernel", 2 * eb, 8 * eb);
  k.add_mtd(3, &chip, "rootfs", 10 * eb, (env - 10) * eb);
  k.add_mtd(4, &chip, "u-boot-env", env * eb, eb);
  k.add_block("/dev/mtdblock4", &chip, env * eb, eb);
}

void Arm(sim::Kernel& k, sim::Chip& chip, const Faults& f, bool on) {
  for (const auto& p : f.program) chip.fail_program(p.at, p.err, on ? p.times : 0);
  for (const auto& e : f.erase) chip.fail_erase(static_cast<uint32_t>(e.at), e.err, on ? e.times : 0);
  for (uint64_t p : f.flips) chip.bitflips(p, on, on);
  if (f.bbquery_err) k.fail_ioctl(MEMGETBADBLOCK, f.bbquery_err, on ? f.bbquery_times : 0);
}

namespace {

const uint32_t kEnvSize = 0x20000;
const uint32_t kRecordOob = 32;  // OOB bytes of each record of a with-OOB image

std::string Fmt(const char* f, unsigned long long a = 0, unsigned long long b = 0) {
  char m[160];
  snprintf(m, sizeof m, f, a, b);
  return m;
}

// Every byte equal to the next one, and the first erased.
bool AllFF(const uint8_t* p, size_t n) { return n == 0 || (p[0] == 0xFF && memcmp(p, p + 1, n - 1) == 0); }

// One eraseblock as it may be found: data, OOB of all its pages, bad mark. The bytes are its
// own (written by the model) or, for the blocks as they were before the run, the snapshot's.
struct Block {
  Block(const uint8_t* d, size_t eb, const uint8_t* o, size_t oobs, bool bad)
      : data(d), oob(o), eb(eb), oobs(oobs), bad(bad) {}
  Block(std::vector<uint8_t> d, std::vector<uint8_t> o, bool bad)
      : Block(d.data(), d.size(), o.data(), o.size(), bad) {
    own_data = std::move(d), own_oob = std::move(o);  // the buffers move, their bytes stay where they are
  }
  std::vector<uint8_t> own_data, own_oob;
  const uint8_t* data;
  const uint8_t* oob;
  size_t eb, oobs;
  bool bad;
  mutable int erased_ = -1;  // data and OOB all 0xFF; computed when first asked
  bool erased() const {
    if (erased_ < 0) erased_ = AllFF(data, eb) && AllFF(oob, oobs);
    return erased_ != 0;
  }
  bool Holds(const uint8_t* d, const uint8_t* o, bool is_bad) const {
    return bad == is_bad && memcmp(data, d, eb) == 0 && memcmp(oob, o, oobs) == 0;
  }
};
using Img = std::shared_ptr<const Block>;

enum Tri { kNo, kYes, kMaybe };

// What a block may hold at a point of the run: one of the candidates; none means anything.
using Belief = std::vector<Img>;

void Add(Belief& x, const Img& i) {
  for (const Img& o : x)
    if (o == i || o->Holds(i->data, i->oob, i->bad)) return;
  x.push_back(i);
}

enum End { kGoesOn, kFinish, kRefused, kMissing, kWriteAbort, kReadAbort, kOldVer, kNoVer, kEmpty, kNoSlot };

// An acceptable standard error line: head exactly, or head...tail when tail is set.
struct Msg {
  std::string head, tail;
  bool Matches(const std::string& l) const {
    return tail.empty() ? l == head
                        : l.size() >= head.size() + tail.size() && l.compare(0, head.size(), head) == 0 &&
                              l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
  }
};
Msg Exact(const std::string& s) { return Msg{s, ""}; }
Msg Around(const std::string& head, const std::string& tail) { return Msg{head, tail}; }

struct Branch {
  std::vector<Belief> blk;
  std::map<uint64_t, int> prog_left;  // program faults still to fire, by page
  std::vector<std::string> lines;
  size_t next = 0;
  std::vector<uint64_t> ecc_ok;  // addresses whose ECC results the blank checks may report
  End end = kGoesOn;
  std::vector<Msg> msgs;  // kRefused, kMissing: the line standard error must show (one of)
  std::string version;    // kOldVer: the required version
};

// Page images a data line stores: data and full OOB per page.
struct Input {
  std::vector<uint8_t> data, oob;
};

std::vector<std::string> Split(const std::string& s, const char* seps) {
  const std::string sep(seps, strlen(seps) + 1);  // a NUL byte separates too
  std::vector<std::string> out;
  for (size_t i = s.find_first_not_of(sep), j; i != std::string::npos; i = s.find_first_not_of(sep, j))
    out.push_back(s.substr(i, (j = s.find_first_of(sep, i)) - i));
  return out;
}

std::string Join(const std::vector<std::string>& t, size_t from) {
  std::string s;
  for (size_t i = from; i < t.size(); ++i) s += (i > from ? " " : "") + t[i];
  return s;
}

// Numbers as scripts give them: hexadecimal, optional sign and 0x, clamped to 32 bits.
long long Hex(const std::string& t) {
  long long v = strtoll(t.c_str(), nullptr, 16);
  return std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, v));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

struct Env {
  bool crc_ok = false;
  std::vector<std::string> entries;
};

// The boot loader's layout: CRC word, then NUL-ended entries up to an empty one.
Env ParseEnv(const uint8_t* p) {
  Env e;
  e.crc_ok =
      (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24) == Crc32(p + 4, kEnvSize - 4);
  for (const uint8_t *at = p + 4, *nul; at < p + kEnvSize && *at; at = nul + 1) {
    if (!(nul = static_cast<const uint8_t*>(memchr(at, 0, kEnvSize - (at - p))))) break;
    e.entries.emplace_back(reinterpret_cast<const char*>(at), nul - at);
  }
  return e;
}

// Whether a relative path climbs above its starting directory with "..", at any point.
bool LeavesDir(const std::string& rel) {
  int depth = 0;
  for (const std::string& part : Split(rel, "/")) {
    if (part == "..") {
      if (depth == 0) return true;
      --depth;
    } else if (part != ".") {
      ++depth;
    }
  }
  return false;
}

bool LooksRefused(const std::string& l) {
  // Lines skipped for their command or their length are reported with their text, whatever it holds.
  if (l.rfind("Unknown script command ", 0) == 0 || l.rfind("incomplete script command ", 0) == 0)
    return false;
  // Suffixes of every refusal the updater prints, and of the older forms it must no longer use.
  for (const char* t : {", nothing written", ", left unchanged", ", not written",
                        " is not on an eraseblock boundary", ": range is outside the chip",
                        " is not a regular file", "-byte records", " does not fit into the range",
                        ": variable name holds \"=\"", " doesn't exist", " is outside the package"})
    if (Msg{"", t}.Matches(l)) return true;
  return false;
}

enum Cmd { kWrite, kWriteOob, kDupOob, kErase, kSetEnv, kChkver, kIfnpart };

// One flash line after its static checks: what it is and the blocks its erase covers.
struct Op {
  std::string pre;  // "LINE: ", how its refusals begin
  Cmd cmd;
  long long start, length;
  uint32_t first, end;
};

class Model {
 public:
  explicit Model(const RunRecord& r) : r_(r), err_(Split(r.err, "\n")) {
    page_ = r.before.page_size, oobsz_ = r.before.oob_size, eb_ = r.before.eb_size, ppb_ = eb_ / page_;
    nblocks_ = r.before.blocks(), size_ = static_cast<long long>(nblocks_) * eb_;
    bbq_ = r.faults.bbquery_err != 0 && r.faults.bbquery_times != 0;
    for (const Faults::At& f : r.faults.erase) efault_[static_cast<uint32_t>(f.at)] = f;
    static Img erased;  // every model of the same geometry shares it
    if (!erased || erased->eb != eb_ || erased->oobs != ppb_ * oobsz_)
      erased = std::make_shared<const Block>(std::vector<uint8_t>(eb_, 0xFF),
                                             std::vector<uint8_t>(ppb_ * oobsz_, 0xFF), false);
    erased_ = erased;
  }

  std::string Run() {
    Branch b;
    for (uint32_t k = 0; k < nblocks_; ++k) {
      const uint8_t* d = &r_.before.data[static_cast<size_t>(k) * eb_];
      const uint8_t* o = &r_.before.oob[static_cast<size_t>(k) * ppb_ * oobsz_];
      b.blk.push_back({std::make_shared<const Block>(d, eb_, o, ppb_ * oobsz_, r_.before.bad[k] != 0)});
    }
    for (const Faults::At& f : r_.faults.program) b.prog_left[f.at] = f.times;
    std::string script = r_.script.substr(0, r_.script.find('\0'));
    b.lines = Split(script, "\r\n");
    b.end = r_.no_slot ? kNoSlot : script.empty() ? kEmpty : kGoesOn;  // empty: no "finish" either
    b.end == kGoesOn ? Walk(b) : Leaf(b);
    return passed_ ? "" : fail_.empty() ? "no outcome the model permits matches the run" : fail_;
  }

 private:
  const RunRecord& r_;
  uint32_t page_, oobsz_, eb_, ppb_, nblocks_;
  long long size_;
  std::vector<std::string> err_;
  std::map<uint32_t, Faults::At> efault_;
  bool bbq_;
  Img erased_;
  bool passed_ = false;
  std::string fail_;
  int leaves_ = 0;

  // Whether every candidate of block k, some, or none has the property.
  template <typename P>
  static Tri Every(const Branch& b, uint32_t k, P p) {
    const Belief& x = b.blk[k];
    if (x.empty()) return kMaybe;
    bool any = false, all = true;
    for (const Img& i : x) {
      const bool v = p(*i);
      any |= v;
      all &= v;
    }
    return all ? kYes : any ? kMaybe : kNo;
  }
  Tri Bad(const Branch& b, uint32_t k) const {
    return Every(b, k, [](const Block& i) { return i.bad; });
  }
  Tri Erased(const Branch& b, uint32_t k) const {
    return Every(b, k, [](const Block& i) { return i.erased(); });
  }
  Tri FirstPageBlank(const Branch& b, uint32_t k) const {
    return Every(b, k, [this](const Block& i) { return AllFF(i.data, page_); });
  }

  // The line's erase of block k. Returns whether the block may have kept its contents.
  Tri EraseStep(Branch& b, uint32_t k) {
    Belief& x = b.blk[k];
    if (x.empty()) return kMaybe;
    const Tri bad = Bad(b, k);
    if (bad == kYes) return kNo;  // skipped, and never on a path
    if (bad == kMaybe) {
      x.clear();
      return kMaybe;
    }
    auto f = efault_.find(k);
    if (f != efault_.end() && f->second.times < 0) return kYes;
    if ((f != efault_.end() && f->second.times > 0) || bbq_) {
      Add(x, erased_);
      return kMaybe;
    }
    x = {erased_};
    return kNo;
  }

  // ---- the walk ----
  void Walk(Branch b) {
    while (b.next < b.lines.size()) {
      const std::string line = b.lines[b.next++];
      const std::vector<std::string> t = Split(line, " \f\n\t\r\v");
      if (t.empty()) continue;
      // Each command and the words it needs.
      static const std::map<std::string, std::pair<size_t, Cmd>> kCmds = {
          {"write", {4, kWrite}},    {"writeoob", {4, kWriteOob}}, {"dupoob", {5, kDupOob}},
          {"setenv", {5, kSetEnv}},  {"erase", {3, kErase}},       {"chkver", {3, kChkver}},
          {"ifnpart", {2, kIfnpart}}};
      auto cmd = kCmds.find(t[0]);
      if (cmd == kCmds.end() || t.size() < cmd->second.first) continue;  // reported and skipped
      if (cmd->second.second == kIfnpart) {
        if (!PartitionListed(t[1]))
          b.lines.insert(b.lines.begin() + static_cast<std::ptrdiff_t>(b.next), Join(t, 2));
        continue;
      }
      if (cmd->second.second == kChkver) {
        int maj = 0, min = 0;
        if (sscanf(t[2].c_str(), "%d.%d", &maj, &min) < 2) {
          b.end = kNoVer;
          return Leaf(b);
        }
        std::string text = ReadFile(t[1][0] == '/' ? t[1] : r_.cwd + "/" + t[1]);
        text = text.substr(0, text.find('\0'));
        int a = 0, c = 0, rev = 0;
        char word[256];
        if (sscanf(text.c_str(), "v%d.%dr%d %255s", &a, &c, &rev, word) != 4 || a < maj ||
            (a == maj && c < min)) {
          b.end = kOldVer;
          b.version = "v" + std::to_string(maj) + "." + std::to_string(min);
          return Leaf(b);
        }
        continue;
      }
      std::vector<Branch> outs;
      FlashLine(b, cmd->second.second, line, t, &outs);
      bool any = false;
      for (Branch& o : outs) {
        if (!Consistent(o, line)) continue;
        any = true;
        o.end == kGoesOn ? Walk(std::move(o)) : Leaf(o);
        if (passed_ || leaves_ > 2000) return;
      }
      if (!any && fail_.empty())
        fail_ = "the run's messages fit no outcome the model permits for \"" + line + "\"";
      return;
    }
    b.end = kFinish;
    Leaf(b);
  }

  bool PartitionListed(const std::string& name) const {
    regex_t re;
    if (regcomp(&re, name.c_str(), REG_NOSUB) != 0) return false;
    bool found = false;
    for (const std::string& l : Split(r_.proc_mtd, "\n"))
      found |= regexec(&re, l.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return found;
  }

  // Whether the run's messages allow this outcome of the line just taken.
  bool Consistent(const Branch& o, const std::string& line) const {
    switch (o.end) {
      case kRefused:
      case kMissing:
        for (const std::string& l : err_)
          for (const Msg& m : o.msgs)
            if (m.Matches(l)) return true;
        return false;
      case kWriteAbort:
        return r_.status == 255;
      case kReadAbort:
        return r_.status == 1;
      case kGoesOn: {
        // A refusal naming this line belongs to it, unless the same line comes again later.
        bool named = false;
        for (const std::string& l : err_)
          if (l.compare(0, line.size() + 2, line + ": ") == 0 && LooksRefused(l)) named = true;
        if (!named) return true;
        for (size_t i = o.next; i < o.lines.size(); ++i) {
          const std::vector<std::string> t = Split(o.lines[i], " \f\n\t\r\v");
          if (o.lines[i] == line || (!t.empty() && t[0] == "ifnpart")) return true;
        }
        return false;
      }
      default:
        return true;
    }
  }

  // ---- one flash line: the outcomes the rules permit ----
  static Branch Refusal(const Branch& b, End end, std::vector<Msg> msgs = {}) {
    Branch o = b;
    o.end = end;
    o.msgs = std::move(msgs);
    return o;
  }

  void FlashLine(const Branch& b, const Cmd cmd, const std::string& line, const std::vector<std::string>& t,
                 std::vector<Branch>* outs) {
    Op op{line + ": ", cmd, Hex(t[1]), Hex(t[2]), 0, 0};
    const long long start = op.start, length = op.length;
    const std::string& pre = op.pre;
    std::vector<Msg> refusals, missing;
    if (start % eb_ != 0)
      refusals.push_back(
          Exact(pre + Fmt("start 0x%llx is not on an eraseblock boundary", static_cast<unsigned>(start))));
    bool outside = start < 0 || length < 0 || start >= size_ || (length >= eb_ && start + length > size_);
    const long long srclen = cmd == kDupOob ? Hex(t[3]) : 0, srcstart = cmd == kDupOob ? Hex(t[4]) : 0;
    if (cmd == kDupOob)
      outside |= srcstart < 0 || srclen < 0 || srcstart >= size_ || srcstart + srclen > size_;
    if (outside) refusals.push_back(Exact(pre + "range is outside the chip"));
    std::string file_bytes;
    if (cmd == kWrite || cmd == kWriteOob) {
      const std::string path = r_.dir + "/" + t[3];
      struct stat st, target;
      if (stat(path.c_str(), &target) == 0 && LeavesDir(t[3])) {
        refusals.push_back(Exact(pre + path + " is outside the package"));
      } else if (lstat(path.c_str(), &st) != 0) {
        missing.push_back(Exact(path + " doesn't exist"));
      } else if (S_ISLNK(st.st_mode) && stat(path.c_str(), &target) != 0) {
        missing.push_back(Exact(path + " doesn't exist"));
        refusals.push_back(Exact(pre + path + " is not a regular file"));
      } else if (!S_ISREG(st.st_mode)) {
        refusals.push_back(Exact(pre + path + " is not a regular file"));
      } else {
        file_bytes = ReadFile(path);
        const long long n = static_cast<long long>(file_bytes.size());
        const long long rec = page_ + kRecordOob;
        if (cmd == kWriteOob && n % rec != 0)
          refusals.push_back(Exact(pre + path + Fmt(" is not a whole number of %llu-byte records", rec)));
        if (cmd == kWriteOob ? (n / rec) * page_ > (length == 0 ? size_ - start : length)
                             : (n + page_ - 1) / page_ * page_ > size_ - start)
          refusals.push_back(Exact(pre + path + " does not fit into the range"));
      }
    }
    if (cmd == kSetEnv && t[3].find('=') != std::string::npos)
      refusals.push_back(Exact(pre + "variable name holds \"=\""));
    if (!refusals.empty()) outs->push_back(Refusal(b, kRefused, refusals));
    if (!missing.empty()) outs->push_back(Refusal(b, kMissing, missing));
    if (!outs->empty()) return;

    op.first = static_cast<uint32_t>(start / eb_);
    const long long count = length / eb_;
    op.end = count == 0 ? nblocks_ : static_cast<uint32_t>(std::min<long long>(op.first + count, nblocks_));
    const uint32_t first = op.first, end = op.end;

    if (cmd == kErase) {
      Branch o = b;
      for (uint32_t k = first; k < end; ++k) EraseStep(o, k);
      return outs->push_back(std::move(o));
    }

    Input in;
    if (cmd == kWrite || cmd == kWriteOob) {
      const size_t rec = cmd == kWrite ? page_ : page_ + kRecordOob;
      const size_t pages = (file_bytes.size() + rec - 1) / rec;
      in.data.assign(pages * page_, 0xFF);
      in.oob.assign(pages * oobsz_, 0xFF);
      for (size_t p = 0; p < pages; ++p) {
        const size_t n = std::min<size_t>(page_, file_bytes.size() - p * rec);
        memcpy(&in.data[p * page_], file_bytes.data() + p * rec, n);
        if (cmd == kWriteOob) memcpy(&in.oob[p * oobsz_], file_bytes.data() + p * rec + page_, kRecordOob);
      }
      return DataLine(b, op, in, true, outs);
    }

    if (cmd == kDupOob) {
      // The copy is read before anything is erased: what the source held before the line.
      if (srcstart % page_ != 0 || bbq_) {
        outs->push_back(Refusal(b, kRefused, {Exact(pre + "cannot read the source, nothing written")}));
        outs->push_back(Refusal(b, kReadAbort));
        if (srcstart % page_ != 0) return;
      }
      const long long room = length == 0 ? size_ - start : length;
      const long long want_pages = srclen ? (srclen + page_ - 1) / page_ : (size_ - srcstart) / page_;
      if (want_pages * page_ > room)
        outs->push_back(Refusal(b, kRefused, {Around(pre, " does not fit into the range")}));
      long long stop = srclen ? std::min<long long>(srcstart + srclen, size_) : size_;
      bool known = true;
      for (long long ofs = srcstart; ofs < stop;) {
        const uint32_t k = static_cast<uint32_t>(ofs / eb_);
        const Tri bad = Bad(b, k);
        if (bad == kMaybe || b.blk[k].size() != 1 || (bad == kYes && srcstart % eb_ != 0)) {
          known = false;
          break;
        }
        if (bad == kYes) {
          stop = std::min<long long>(stop + eb_, size_);
          ofs += eb_;
          continue;
        }
        const Block& blk = *b.blk[k][0];
        const size_t pg = static_cast<size_t>((ofs % eb_) / page_);
        in.data.insert(in.data.end(), blk.data + pg * page_, blk.data + (pg + 1) * page_);
        in.oob.insert(in.oob.end(), blk.oob + pg * oobsz_, blk.oob + pg * oobsz_ + kRecordOob);
        in.oob.insert(in.oob.end(), oobsz_ - kRecordOob, 0xFF);
        ofs += page_;
      }
      if (known && static_cast<long long>(in.data.size()) > room)
        outs->push_back(Refusal(b, kRefused, {Around(pre, " does not fit into the range")}));
      return DataLine(b, op, in, known, outs);
    }

    // setenv: the block at start is read as it is (bad or not); a reader that skips a bad first
    // block to the environment's own block is as good.
    const std::string value = Join(t, 4);
    std::vector<uint32_t> sources = {first};
    if (Bad(b, first) != kNo)
      for (uint32_t k = first + 1; k < end; ++k)
        if (Bad(b, k) != kYes) {
          sources.push_back(k);
          break;
        }
    bool good_in_range = false;
    for (uint32_t k = first; k < end; ++k) good_in_range |= Bad(b, k) != kYes;
    // No block to hold the environment: nothing can be read or written.
    if (!good_in_range)
      outs->push_back(
          Refusal(b, kRefused, {Exact(pre + "not enough good blocks in the range, nothing written")}));
    // Finding the environment's block asks for bad marks, which may fail.
    if (bbq_)
      outs->push_back(
          Refusal(b, kRefused, {Around(pre + "boot environment at ", " cannot be read, left unchanged")}));
    bool unknown = false;
    std::vector<std::string> variants;
    for (uint32_t src : sources) {
      if (b.blk[src].empty()) unknown = true;
      for (const Img& i : b.blk[src]) {
        Env e = ParseEnv(i->data);
        // Named by the line's start or by the block the environment was read from.
        auto refused = [&](const char* why) {
          const char* at = "boot environment at 0x%llx";
          outs->push_back(Refusal(b, kRefused,
                                  {Exact(pre + Fmt(at, static_cast<unsigned>(start)) + why),
                                   Exact(pre + Fmt(at, static_cast<uint64_t>(src) * eb_) + why)}));
        };
        if (!e.crc_ok) {
          refused(" fails its CRC, left unchanged");
          continue;
        }
        auto entry = std::find_if(e.entries.begin(), e.entries.end(),
                                  [&](const std::string& x) { return x.rfind(t[3] + "=", 0) == 0; });
        if (entry == e.entries.end()) entry = e.entries.insert(entry, "");
        *entry = t[3] + "=" + value;
        size_t used = 1;
        for (const std::string& entry : e.entries) used += entry.size() + 1;
        if (used > kEnvSize - 4) {
          refused(" would overflow, left unchanged");
          continue;
        }
        const std::string blk = EnvBlock(e.entries);
        if (std::find(variants.begin(), variants.end(), blk) == variants.end()) variants.push_back(blk);
      }
    }
    bool refusals_listed = false;
    if (unknown) {
      outs->push_back(Refusal(b, kRefused, {Around(pre + "boot environment at ", ", left unchanged")}));
      DataLine(b, op, Input(), false, outs);
      refusals_listed = true;
    }
    for (const std::string& v : variants) {
      Input env;
      env.data.assign(v.begin(), v.end());
      env.oob.assign(ppb_ * oobsz_, 0xFF);
      DataLine(b, op, env, true, outs, !refusals_listed);
      refusals_listed = true;
    }
  }

  // Blocks a line may change at all: its erase range, for write the erased blocks behind it,
  // for the OOB lines the erased partial block at the end of the range.
  void AnyOver(Branch& o, const Op& op) const {
    for (uint32_t k = op.first; k < nblocks_; ++k) {
      bool may = k < op.end;
      if (!may && op.cmd == kWrite) may = Erased(o, k) != kNo;
      if (!may && (op.cmd == kWriteOob || op.cmd == kDupOob) && op.length >= eb_ &&
          static_cast<long long>(k) * eb_ < op.start + op.length)
        may = Erased(o, k) != kNo;
      if (may && Bad(o, k) != kYes) o.blk[k].clear();
    }
  }

  // write, writeoob, dupoob, setenv after their static checks: erase, check, program.
  void DataLine(const Branch& b, const Op& op, const Input& in, bool known, std::vector<Branch>* outs,
                bool refusals = true) {
    const Cmd cmd = op.cmd;
    const uint32_t first = op.first, end = op.end;
    const std::string& pre = op.pre;
    // The writer met what the model does not follow: the line's blocks may hold anything; the
    // writer stopped the run or, when written is set, the line went on.
    auto undetermined = [&](const Branch& from, bool written) {
      Branch any = from;
      AnyOver(any, op);
      outs->push_back(Refusal(any, kWriteAbort));
      if (written) outs->push_back(std::move(any));
    };
    Branch b1 = b;
    std::vector<Tri> fail(nblocks_, kNo);
    bool unsure = !known;
    for (uint32_t k = first; k < end; ++k) fail[k] = EraseStep(b1, k);
    for (uint32_t k = first; k < nblocks_; ++k) unsure |= Bad(b1, k) == kMaybe;
    // The blank check reads the first good block from start.
    uint32_t firstgood = first;
    while (firstgood < nblocks_ && Bad(b1, firstgood) == kYes) ++firstgood;
    for (uint32_t k = first; k < (unsure ? std::max(end, firstgood + 1) : firstgood + 1) && k < nblocks_; ++k)
      b1.ecc_ok.push_back(static_cast<uint64_t>(k) * eb_);

    // After a refusal the erase range holds what it held or what the erase left.
    Branch held = b1;
    for (uint32_t k = first; k < end; ++k)
      if (b.blk[k].empty())
        held.blk[k].clear();
      else
        for (const Img& i : b.blk[k]) Add(held.blk[k], i);
    const std::string dyn_tail = ", nothing written";
    const Msg no_room = Exact(pre + "not enough good blocks in the range" + dyn_tail);
    auto no_erase = [&](uint64_t k) {
      return Exact(pre + Fmt("block at 0x%llx did not erase", k * eb_) + dyn_tail);
    };

    if (unsure) {
      Branch any = b1;
      AnyOver(any, op);
      if (refusals) {
        outs->push_back(Refusal(any, kRefused, {Around(pre, dyn_tail)}));
        outs->push_back(Refusal(any, kWriteAbort));
        outs->push_back(Refusal(any, kReadAbort));
      }
      return outs->push_back(std::move(any));
    }

    const size_t npages = in.data.size() / page_;
    const long long lim =
        cmd == kWrite || cmd == kSetEnv ? size_ : (op.length == 0 ? size_ : op.start + op.length);
    // The path the data takes, as planned before programming.
    std::vector<Msg> said;  // the refusals the line may give after its erase
    bool ok = true, abort_pre = false;
    std::vector<bool> planned(nblocks_, false);
    for (size_t p = 0, k = first; p < npages; ++k) {
      while (k < nblocks_ && Bad(b1, k) == kYes) ++k;
      const size_t cnt = std::min<size_t>(ppb_, npages - p);
      const long long used_end = static_cast<long long>(k) * eb_ + static_cast<long long>(cnt) * page_;
      if (k >= nblocks_ || (k >= end && (cmd == kSetEnv || used_end > lim || Erased(b1, k) != kYes))) {
        // No room left in the erased range: a write runs past it only into erased blocks, and
        // the writer stops when it finds none.
        if (cmd == kWrite) abort_pre = true;
        if (cmd != kWrite || k >= nblocks_) said.push_back(no_room);
        ok = false;
        break;
      }
      if (k < end) {
        const bool setenv_blank = cmd == kSetEnv && Erased(b1, k) == kYes;
        if (fail[k] != kNo && !setenv_blank) said.push_back(no_erase(k));
        if (fail[k] == kYes && !setenv_blank) ok = false;
        if (used_end > lim) {
          said.push_back(no_room);
          ok = false;
          break;
        }
      } else if (cmd != kWrite) {
        // The partial block at the range's end was not erased by the line: writing into it
        // because it reads back erased, or refusing to, are both within the range's promise.
        said.push_back(no_room);
      }
      planned[k] = true;
      p += cnt;
    }
    if (firstgood >= nblocks_ || FirstPageBlank(b1, firstgood) != kYes) {
      for (unsigned long long a :
           {static_cast<unsigned long long>(op.start), static_cast<unsigned long long>(firstgood) * eb_})
        said.push_back(Exact(pre + Fmt("range at 0x%llx does not read back erased", a) + dyn_tail));
      if ((firstgood >= nblocks_ || FirstPageBlank(b1, firstgood) == kNo) && cmd != kSetEnv) ok = false;
    }
    if (bbq_)
      for (uint32_t k = first; k < end; ++k) said.push_back(no_erase(k));
    if (refusals) {
      if (!said.empty()) outs->push_back(Refusal(held, kRefused, said));
      if (abort_pre || bbq_) undetermined(b1, false);
      if (bbq_) outs->push_back(Refusal(held, kReadAbort));  // the blank check stopped
    }
    if (!ok) return;

    // Programming, with the injected page failures: a failed block is erased, marked bad and
    // its records go again into the next good block.
    Branch o = b1;
    for (size_t p = 0, k = first; p < npages;) {
      while (k < nblocks_ && Bad(o, k) == kYes) ++k;
      const size_t cnt = std::min<size_t>(ppb_, npages - p);
      const long long used_end = static_cast<long long>(k) * eb_ + static_cast<long long>(cnt) * page_;
      bool usable = k < nblocks_ && used_end <= lim;
      if (usable && k >= end) usable = cmd != kSetEnv && Erased(o, k) == kYes;
      if (!usable) {
        undetermined(o, false);  // the writer ran out of blocks
        if (cmd == kSetEnv) outs->push_back(Refusal(outs->back(), kRefused, {no_room}));
        return;
      }
      // A block that may not have erased, met only after a relocation.
      if (!planned[k] && k < end && fail[k] != kNo && !(cmd == kSetEnv && Erased(b1, k) == kYes))
        return undetermined(o, true);
      // The first page of this block that fails to program.
      int failed_err = 0;
      for (size_t j = 0; j < cnt && !failed_err; ++j) {
        const uint64_t pg = static_cast<uint64_t>(k) * ppb_ + j;
        auto it = o.prog_left.find(pg);
        if (it == o.prog_left.end() || it->second == 0) continue;
        // A writer may leave a blank page unprogrammed: whether this fault fires is open.
        if (AllFF(&in.data[(p + j) * page_], page_) && AllFF(&in.oob[(p + j) * oobsz_], oobsz_))
          return undetermined(o, true);
        if (it->second > 0) --it->second;
        for (const Faults::At& f : r_.faults.program)
          if (f.at == pg) failed_err = f.err;
      }
      if (failed_err != 0 && failed_err != EIO) return undetermined(o, false);
      if (failed_err == EIO) {
        // Whether a failed block that may not erase is marked bad and left is not followed.
        if (efault_.count(static_cast<uint32_t>(k))) return undetermined(o, true);
        o.blk[k] = {std::make_shared<const Block>(erased_->data, eb_, erased_->oob, ppb_ * oobsz_, true)};
        ++k;
        continue;
      }
      std::vector<uint8_t> data(eb_, 0xFF), oob(ppb_ * oobsz_, 0xFF);
      memcpy(data.data(), &in.data[p * page_], cnt * page_);
      memcpy(oob.data(), &in.oob[p * oobsz_], cnt * oobsz_);
      o.blk[k] = {std::make_shared<const Block>(std::move(data), std::move(oob), false)};
      p += cnt;
      ++k;
    }
    outs->push_back(std::move(o));
  }

  // ---- the end of a run: words, status, messages, chip ----
  void Leaf(const Branch& b) {
    ++leaves_;
    const std::string why = Verdict(b);
    passed_ |= why.empty();
    if (fail_.empty()) fail_ = why;  // the first broken promise, unless another outcome passes
  }

  std::string Verdict(const Branch& b) const {
    const std::string& out = r_.out;
    auto has = [&out](const std::string& s) { return out.find(s) != std::string::npos; };
    const bool fin = out.size() >= 7 && out.compare(out.size() - 7, 7, "finish\n") == 0;
    if (r_.signal) return Fmt("the run was killed by signal %llu", r_.signal);
    if (b.end == kFinish || b.end == kRefused || b.end == kMissing || b.end == kNoVer) {
      if (r_.status != 0 || !fin || has("badimage") || has("abort") || has("Abort"))
        return "want status 0 and standard output ending in finish, without badimage/abort";
    } else {  // the runs that end without finish: their status and the words that say why
      const std::pair<int, std::string> want =
          b.end == kOldVer ? std::make_pair(0, "Check Version Error (" + b.version + " required), badimage\n")
          : b.end == kNoSlot ? std::make_pair(255, std::string("abort"))
          : b.end == kEmpty  ? std::make_pair(0, std::string())
          : b.end == kWriteAbort
              ? std::make_pair(255, std::string("Data was only partially written due to error, abort!\n"))
              : std::make_pair(1, std::string("dump data failed,abort!"));
      if (r_.status != want.first || has("finish") || !has(want.second))
        return Fmt("want status %llu, no finish, and: ", want.first) + want.second;
    }
    // Exactly the refusal that stopped the run, and no other.
    int refusals = 0;
    bool matched = b.msgs.empty();
    for (const std::string& l : err_) {
      if (!LooksRefused(l)) continue;
      ++refusals;
      for (const Msg& m : b.msgs) matched |= m.Matches(l);
    }
    const int want = b.end == kRefused || b.end == kMissing ? 1 : 0;
    if (refusals != want || !matched)
      return Fmt("standard error holds %llu refusal line(s), want %llu", refusals, want) +
             (b.msgs.empty() ? "" : ": " + b.msgs[0].head + "..." + b.msgs[0].tail);
    // ECC results are the plain blank checks' only; with-OOB copies are read raw.
    for (const std::string& l : err_) {
      unsigned long long at = 0;
      const char* p = strstr(l.c_str(), "bitflip(s) at offset 0x");
      if (l.compare(0, 5, "ECC: ") != 0 || !p || sscanf(p, "bitflip(s) at offset 0x%llx", &at) != 1) continue;
      if (std::find(b.ecc_ok.begin(), b.ecc_ok.end(), at) == b.ecc_ok.end())
        return "ECC result for a read that is not a blank check: " + l;
    }
    const ChipState& a = r_.after;
    for (uint32_t k = 0; k < nblocks_; ++k) {
      const Belief& x = b.blk[k];
      bool same = x.empty();
      // A block the run did not touch holds what it held before: enough that the model allows that.
      const uint8_t* was = &r_.before.data[static_cast<size_t>(k) * eb_];
      if (!r_.touched.empty() && !r_.touched[k])
        for (const Img& i : x) same |= i->data == was && i->bad == (r_.before.bad[k] != 0);
      for (size_t i = 0; i < x.size() && !same; ++i)
        same = x[i]->Holds(&a.data[static_cast<size_t>(k) * eb_],
                           &a.oob[static_cast<size_t>(k) * ppb_ * oobsz_], a.bad[k] != 0);
      if (!same)
        return Fmt("block %llu (0x%llx) holds what no outcome of the model allows", k,
                   static_cast<unsigned long long>(k) * eb_);
    }
    return "";
  }
};

}  // namespace

std::string Check(const RunRecord& run) {
  if (run.after.violations != 0)
    return Fmt("%llu page program(s) over bytes that were not erased", run.after.violations);
  if (run.after.data.size() != run.before.data.size() || run.after.bad.size() != run.before.bad.size())
    return "the chip did not come back from the run";
  return Model(run).Run();
}

}  // namespace oracle
