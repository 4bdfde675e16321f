#include "flash_oracle.h"

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

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
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
  s->page_size = g.page_size;
  s->oob_size = g.oob_size;
  s->eb_size = g.eb_size;
  s->data.resize(g.size);
  memcpy(s->data.data(), chip.data(0), g.size);
  s->oob.resize(chip.page_count() * g.oob_size);
  memcpy(s->oob.data(), chip.oob(0), s->oob.size());
  s->bad.clear();
  for (uint32_t b = 0; b < chip.block_count(); ++b) s->bad.push_back(chip.is_bad(b) ? 1 : 0);
  s->violations = chip.violations();
}

ChipState Capture(sim::Chip& chip) {
  ChipState s;
  Capture(chip, &s);
  return s;
}

namespace {

const int kEio = 5;
const uint32_t kEnvSize = 0x20000;
const uint32_t kRecordOob = 32;  // OOB bytes of each record of a with-OOB image

std::string Fmt(const char* f, unsigned long long a = 0, unsigned long long b = 0) {
  char m[160];
  snprintf(m, sizeof m, f, a, b);
  return m;
}

// Whole-chip scans and compares run on every case: plain loops over sizes checked by the
// callers, left to the compiler's vectorizer rather than to the sanitizers' checks.
#define ORACLE_SCAN __attribute__((no_sanitize("address", "undefined")))

ORACLE_SCAN bool AllFF(const uint8_t* p, size_t n) {
  size_t i = 0;
  for (uint64_t w; i + 8 <= n; i += 8) {
    memcpy(&w, p + i, 8);
    if (w != ~0ull) return false;
  }
  for (; i < n; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

// A plain loop: a fuzzer's memcmp hook would walk every equal byte of every block.
ORACLE_SCAN bool Equal(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  for (uint64_t x, y; i + 8 <= n; i += 8) {
    memcpy(&x, a + i, 8);
    memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  for (; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// One eraseblock as it may be found: data, OOB of all its pages, bad mark. The bytes are its
// own or, for the blocks as they were before the run, the snapshot's.
struct Block {
  std::vector<uint8_t> own_data, own_oob;
  const uint8_t* data = nullptr;
  const uint8_t* oob = nullptr;
  bool bad = false;
  mutable int erased_ = -1;  // data and OOB all 0xFF; computed when first asked
  size_t eb = 0, oobs = 0;
  bool erased() const {
    if (erased_ < 0) erased_ = AllFF(data, eb) && AllFF(oob, oobs);
    return erased_ != 0;
  }
};
using Img = std::shared_ptr<const Block>;

Img Make(std::vector<uint8_t> data, std::vector<uint8_t> oob, bool bad) {
  auto b = std::make_shared<Block>();
  b->own_data = std::move(data);
  b->own_oob = std::move(oob);
  b->data = b->own_data.data();
  b->oob = b->own_oob.data();
  b->eb = b->own_data.size();
  b->oobs = b->own_oob.size();
  b->bad = bad;
  return b;
}

Img View(const uint8_t* data, size_t eb, const uint8_t* oob, size_t oobs, bool bad) {
  auto b = std::make_shared<Block>();
  b->data = data;
  b->oob = oob;
  b->eb = eb;
  b->oobs = oobs;
  b->bad = bad;
  return b;
}

bool Same(const Block& a, const Block& b) {
  return a.bad == b.bad && Equal(a.data, b.data, a.eb) && Equal(a.oob, b.oob, a.oobs);
}

enum Tri { kNo, kYes, kMaybe };

// What a block may hold at a point of the run: one of the candidates; none means anything.
struct Belief {
  std::vector<Img> c;
  std::string why;  // the line that last changed what it may hold
};

void Add(Belief& x, const Img& i) {
  for (const Img& o : x.c)
    if (o == i || Same(*o, *i)) return;
  x.c.push_back(i);
}

enum End { kGoesOn, kFinished, kRefused, kMissing, kWriterAbort, kReaderAbort, kVersionRefused, kVersionStop, kEmpty,
           kNoSlot };

// An acceptable standard error line: head...tail (exact when tail is empty and exact is set).
struct Msg {
  std::string head, tail;
  bool exact = true;
  bool Matches(const std::string& l) const {
    if (exact) return l == head;
    return l.size() >= head.size() + tail.size() && l.compare(0, head.size(), head) == 0 &&
           l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
  }
};

struct Branch {
  std::vector<Belief> blk;
  std::map<uint64_t, int> prog_left;  // program faults still to fire, by page
  std::vector<std::string> lines;
  size_t next = 0;
  std::vector<uint64_t> ecc_ok;  // addresses whose ECC results the blank checks may report
  std::string log;               // the lines run and how the model took them
  int depth = 0;
  End end = kGoesOn;
  std::vector<Msg> msgs;  // kRefused, kMissing: the line standard error must show (one of)
  std::string version;    // kVersionRefused: the required version
};

// Page images a data line stores: data and full OOB per page.
struct Input {
  std::vector<uint8_t> data, oob;
  bool known = true;
};

std::vector<std::string> Split(const std::string& s, const char* seps) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && strchr(seps, s[i])) ++i;
    size_t j = i;
    while (j < s.size() && !strchr(seps, s[j])) ++j;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
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

struct Env {
  bool crc_ok = false;
  std::vector<std::string> entries;
};

// The boot loader's layout: CRC word, then NUL-ended entries up to an empty one.
Env ParseEnv(const uint8_t* p) {
  Env e;
  uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) stored |= static_cast<uint32_t>(p[i]) << (8 * i);
  e.crc_ok = stored == Crc32(p + 4, kEnvSize - 4);
  const uint8_t* d = p + 4;
  const uint32_t n = kEnvSize - 4;
  if (d[0] == 0) return e;
  uint32_t start = 0;
  for (uint32_t i = 1; i <= n; ++i) {
    if (d[i - 1] != 0) continue;
    e.entries.emplace_back(reinterpret_cast<const char*>(d + start), i - 1 - start);
    if (i == n || d[i] == 0) break;
    start = i;
  }
  return e;
}

std::string DescribeEnv(const uint8_t* p) {
  if (AllFF(p, kEnvSize)) return "blank";
  Env e = ParseEnv(p);
  std::string s = e.crc_ok ? "CRC good:" : "CRC fails:";
  for (size_t i = 0; i < e.entries.size() && i < 8; ++i) s += " [" + e.entries[i].substr(0, 40) + "]";
  return s;
}

// Suffixes of every refusal the updater prints, and of the older forms it must no longer use.
const char* const kRefusalTails[] = {
    ", nothing written", ", left unchanged", ", not written", " is not on an eraseblock boundary",
    ": range is outside the chip", " is not a regular file", "-byte records",
    " does not fit into the range", ": variable name holds \"=\"", " doesn't exist",
};

bool LooksRefused(const std::string& l) {
  // Lines skipped for their command or their length are reported with their text, whatever it holds.
  for (const char* skipped : {"Unknown script command ", "incomplete script command "})
    if (l.compare(0, strlen(skipped), skipped) == 0) return false;
  for (const char* t : kRefusalTails) {
    const size_t n = strlen(t);
    if (l.size() >= n && l.compare(l.size() - n, n, t) == 0) return true;
  }
  return false;
}

enum Cmd { kWrite, kWriteOob, kDupOob, kErase, kSetEnv };

class Model {
 public:
  explicit Model(const RunRecord& r) : r_(r) {
    const ChipState& c = r.before;
    page_ = c.page_size;
    oobsz_ = c.oob_size;
    eb_ = c.eb_size;
    ppb_ = eb_ / page_;
    nblocks_ = c.blocks();
    size_ = static_cast<long long>(nblocks_) * eb_;
    err_ = Split(r.err, "\n");
    for (const Faults::Block& f : r.faults.erase) efault_[f.block] = f;
    bbq_ = r.faults.bbquery_err != 0 && r.faults.bbquery_times != 0;
    static Img erased;  // every model of the same geometry shares it
    if (!erased || erased->eb != eb_ || erased->oobs != ppb_ * oobsz_)
      erased = Make(std::vector<uint8_t>(eb_, 0xFF), std::vector<uint8_t>(ppb_ * oobsz_, 0xFF), false);
    erased_ = erased;
  }

  std::string reading;

  std::string Run() {
    Branch b;
    for (uint32_t k = 0; k < nblocks_; ++k) {
      const uint8_t* d = &r_.before.data[static_cast<size_t>(k) * eb_];
      const uint8_t* o = &r_.before.oob[static_cast<size_t>(k) * ppb_ * oobsz_];
      b.blk.push_back({{View(d, eb_, o, ppb_ * oobsz_, r_.before.bad[k] != 0)}, "before the run"});
    }
    for (const Faults::Page& f : r_.faults.program) b.prog_left[f.page] = f.times;
    std::string script = r_.script.substr(0, r_.script.find('\0'));
    b.lines = Split(script, "\r\n");
    if (r_.no_slot) {
      b.end = kNoSlot;
      Leaf(b);
    } else if (script.empty()) {
      b.end = kEmpty;  // nothing to run, and no "finish" either
      Leaf(b);
    } else {
      Walk(b);
    }
    if (passed_) return "";
    if (fail_.empty()) return "no outcome the model permits matches the run";
    return fail_;
  }

 private:
  const RunRecord& r_;
  uint32_t page_, oobsz_, eb_, ppb_, nblocks_;
  long long size_;
  std::vector<std::string> err_;
  std::map<uint32_t, Faults::Block> efault_;
  bool bbq_;
  Img erased_;
  bool passed_ = false;
  std::string fail_;
  int fail_depth_ = -1;
  int leaves_ = 0;

  // ---- block predicates ----
  Tri Bad(const Branch& b, uint32_t k) const {
    const Belief& x = b.blk[k];
    if (x.c.empty()) return kMaybe;
    bool any = false, all = true;
    for (const Img& i : x.c) {
      any |= i->bad;
      all &= i->bad;
    }
    return all ? kYes : any ? kMaybe : kNo;
  }
  Tri Erased(const Branch& b, uint32_t k) const {
    const Belief& x = b.blk[k];
    if (x.c.empty()) return kMaybe;
    bool any = false, all = true;
    for (const Img& i : x.c) {
      any |= i->erased();
      all &= i->erased();
    }
    return all ? kYes : any ? kMaybe : kNo;
  }
  Tri FirstPageBlank(const Branch& b, uint32_t k) const {
    const Belief& x = b.blk[k];
    if (x.c.empty()) return kMaybe;
    bool any = false, all = true;
    for (const Img& i : x.c) {
      bool e = AllFF(i->data, page_);
      any |= e;
      all &= e;
    }
    return all ? kYes : any ? kMaybe : kNo;
  }

  // The line's erase of block k. Returns whether the block may have kept its contents.
  Tri EraseStep(Branch& b, uint32_t k, const std::string& why) {
    Belief& x = b.blk[k];
    if (x.c.empty()) return kMaybe;
    const Tri bad = Bad(b, k);
    if (bad == kYes) return kNo;  // skipped, and never on a path
    if (bad == kMaybe) {
      x.c.clear();
      x.why = why;
      return kMaybe;
    }
    auto f = efault_.find(k);
    if (f != efault_.end() && f->second.times < 0) return kYes;
    x.why = why;
    if ((f != efault_.end() && f->second.times > 0) || bbq_) {
      Add(x, erased_);
      return kMaybe;
    }
    x.c = {erased_};
    return kNo;
  }

  std::string Line(const Branch& b) const { return b.lines[b.next - 1]; }

  // ---- the walk ----
  void Walk(Branch b) {
    while (b.next < b.lines.size()) {
      const std::string line = b.lines[b.next++];
      const std::vector<std::string> t = Split(line, " \f\n\t\r\v");
      if (t.empty()) continue;
      const std::string& key = t[0];
      size_t minimum = 0;
      if (key == "write" || key == "writeoob") minimum = 4;
      else if (key == "dupoob" || key == "setenv") minimum = 5;
      else if (key == "erase" || key == "chkver") minimum = 3;
      else if (key == "ifnpart") minimum = 2;
      else continue;  // reported as unknown and skipped
      if (t.size() < minimum) continue;
      b.log += "  " + line + "\n";
      ++b.depth;
      if (key == "ifnpart") {
        if (!PartitionListed(t[1]))
          b.lines.insert(b.lines.begin() + static_cast<std::ptrdiff_t>(b.next), Join(t, 2));
        continue;
      }
      if (key == "chkver") {
        int maj = 0, min = 0;
        if (sscanf(t[2].c_str(), "%d.%d", &maj, &min) < 2) {
          b.end = kVersionStop;
          return Leaf(b);
        }
        std::string path = t[1][0] == '/' ? t[1] : r_.cwd + "/" + t[1];
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        text = text.substr(0, text.find('\0'));
        int a = 0, c = 0, rev = 0;
        char word[256];
        if (sscanf(text.c_str(), "v%d.%dr%d %255s", &a, &c, &rev, word) != 4 || a < maj ||
            (a == maj && c < min)) {
          b.end = kVersionRefused;
          b.version = "v" + std::to_string(maj) + "." + std::to_string(min);
          return Leaf(b);
        }
        continue;
      }
      std::vector<Branch> outs;
      FlashLine(b, line, t, &outs);
      bool any = false;
      for (const Branch& o : outs) any |= Consistent(o, line);
      if (!any && b.depth > fail_depth_) {
        fail_depth_ = b.depth;
        fail_ = "the run's messages fit none of the outcomes permitted for \"" + line + "\":\n";
        for (const Branch& o : outs) fail_ += o.log.substr(o.log.rfind("    -> ")) ;
        fail_ += "the model's reading of the run up to it:\n" + b.log;
      }
      for (Branch& o : outs) {
        if (!Consistent(o, line)) continue;
        if (o.end == kGoesOn) Walk(std::move(o));
        else Leaf(o);
        if (passed_ || leaves_ > 2000) return;
      }
      return;
    }
    b.end = kFinished;
    Leaf(b);
  }

  bool PartitionListed(const std::string& name) const {
    regex_t re;
    if (regcomp(&re, name.c_str(), REG_NOSUB) != 0) return false;
    bool found = false;
    const std::string& text = r_.proc_mtd;
    size_t pos = 0;
    while (pos < text.size() && !found) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      found = regexec(&re, text.substr(pos, end - pos).c_str(), 0, nullptr, 0) == 0;
      pos = end + 1;
    }
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
      case kWriterAbort: return r_.status == 255;
      case kReaderAbort: return r_.status == 1;
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
      default: return true;
    }
  }

  // ---- one flash line: the outcomes the rules permit ----
  Branch Refusal(const Branch& b, End end, std::vector<Msg> msgs, const std::string& note) const {
    Branch o = b;
    o.end = end;
    o.msgs = std::move(msgs);
    o.log += "    -> " + note + "\n";
    return o;
  }
  static Msg Exact(const std::string& s) { return Msg{s, "", true}; }
  static Msg Around(const std::string& head, const std::string& tail) { return Msg{head, tail, false}; }

  void FlashLine(const Branch& b, const std::string& line, const std::vector<std::string>& t,
                 std::vector<Branch>* outs) {
    const std::string& key = t[0];
    const Cmd cmd = key == "write" ? kWrite : key == "writeoob" ? kWriteOob : key == "dupoob" ? kDupOob
                    : key == "erase" ? kErase : kSetEnv;
    const long long start = Hex(t[1]), length = Hex(t[2]);
    const std::string pre = line + ": ";
    std::vector<Msg> refusals;
    std::vector<Msg> missing;
    if (start % eb_ != 0) refusals.push_back(Exact(pre + Fmt("start 0x%llx is not on an eraseblock boundary", static_cast<unsigned>(start))));
    bool outside = start < 0 || length < 0 || start >= size_ || (length >= eb_ && start + length > size_);
    long long srclen = 0, srcstart = 0;
    if (cmd == kDupOob) {
      srclen = Hex(t[3]);
      srcstart = Hex(t[4]);
      outside |= srcstart < 0 || srclen < 0 || srcstart >= size_ || srcstart + srclen > size_;
    }
    if (outside) refusals.push_back(Exact(pre + "range is outside the chip"));
    std::string file_bytes;
    if (cmd == kWrite || cmd == kWriteOob) {
      const std::string path = r_.dir + "/" + t[3];
      struct stat st, target;
      if (lstat(path.c_str(), &st) != 0) {
        missing.push_back(Exact(path + " doesn't exist"));
      } else if (S_ISLNK(st.st_mode) && stat(path.c_str(), &target) != 0) {
        missing.push_back(Exact(path + " doesn't exist"));
        refusals.push_back(Exact(pre + path + " is not a regular file"));
      } else if (!S_ISREG(st.st_mode)) {
        refusals.push_back(Exact(pre + path + " is not a regular file"));
      } else {
        std::ifstream in(path, std::ios::binary);
        file_bytes.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const long long n = static_cast<long long>(file_bytes.size());
        const long long rec = page_ + kRecordOob;
        bool fits;
        if (cmd == kWriteOob) {
          if (n % rec != 0) refusals.push_back(Exact(pre + path + Fmt(" is not a whole number of %llu-byte records", rec)));
          fits = (n / rec) * page_ <= (length == 0 ? size_ - start : length);
        } else {
          fits = (n + page_ - 1) / page_ * page_ <= size_ - start;
        }
        if (!fits) refusals.push_back(Exact(pre + path + " does not fit into the range"));
      }
    }
    if (cmd == kSetEnv && t[3].find('=') != std::string::npos) refusals.push_back(Exact(pre + "variable name holds \"=\""));
    if (!refusals.empty() || !missing.empty()) {
      if (!refusals.empty()) outs->push_back(Refusal(b, kRefused, refusals, "refused before any erase"));
      if (!missing.empty()) outs->push_back(Refusal(b, kMissing, missing, "file missing"));
      return;
    }

    const uint32_t first = static_cast<uint32_t>(start / eb_);
    const long long count = length / eb_;
    const uint32_t end = count == 0 ? nblocks_ : static_cast<uint32_t>(std::min<long long>(first + count, nblocks_));

    if (cmd == kErase) {
      Branch o = b;
      for (uint32_t k = first; k < end; ++k) EraseStep(o, k, line);
      o.log += "    -> erased\n";
      outs->push_back(std::move(o));
      return;
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
      DataLine(b, line, cmd, start, length, first, end, in, true, outs);
      return;
    }

    if (cmd == kDupOob) {
      // The copy is read before anything is erased: what the source held before the line.
      std::vector<Msg> unread = {Exact(pre + "cannot read the source, nothing written")};
      if (srcstart % page_ != 0) {
        outs->push_back(Refusal(b, kRefused, unread, "source not on a page"));
        outs->push_back(Refusal(b, kReaderAbort, {}, "reader gave up on the source"));
        return;
      }
      if (bbq_) {
        outs->push_back(Refusal(b, kRefused, unread, "source unreadable (bad-block query fails)"));
        outs->push_back(Refusal(b, kReaderAbort, {}, "reader gave up (bad-block query fails)"));
      }
      const long long want_pages = srclen ? (srclen + page_ - 1) / page_ : (size_ - srcstart) / page_;
      if (want_pages * page_ > (length == 0 ? size_ - start : length))
        outs->push_back(Refusal(b, kRefused, {Around(pre, " does not fit into the range")}, "copy does not fit"));
      long long stop = srclen ? std::min<long long>(srcstart + srclen, size_) : size_;
      bool known = true;
      for (long long ofs = srcstart; ofs < stop && known;) {
        const uint32_t k = static_cast<uint32_t>(ofs / eb_);
        const Tri bad = Bad(b, k);
        if (bad == kMaybe || b.blk[k].c.size() != 1 || (bad == kYes && srcstart % eb_ != 0)) {
          known = false;
          break;
        }
        if (bad == kYes) {
          stop = std::min<long long>(stop + eb_, size_);
          ofs += eb_;
          continue;
        }
        const Block& blk = *b.blk[k].c[0];
        const size_t pg = static_cast<size_t>((ofs % eb_) / page_);
        in.data.insert(in.data.end(), blk.data + pg * page_, blk.data + (pg + 1) * page_);
        in.oob.insert(in.oob.end(), blk.oob + pg * oobsz_, blk.oob + pg * oobsz_ + kRecordOob);
        in.oob.insert(in.oob.end(), oobsz_ - kRecordOob, 0xFF);
        ofs += page_;
      }
      const long long got = static_cast<long long>(in.data.size() / page_);
      if (known && got * page_ > (length == 0 ? size_ - start : length))
        outs->push_back(Refusal(b, kRefused, {Around(pre, " does not fit into the range")}, "copy does not fit"));
      DataLine(b, line, cmd, start, length, first, end, in, known, outs);
      return;
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
    if (!good_in_range) {
      // No block to hold the environment: nothing can be read or written.
      outs->push_back(Refusal(b, kRefused, {Exact(pre + "not enough good blocks in the range, nothing written")},
                              "no good block in the range"));
    }
    if (bbq_) {
      // Finding the environment's block asks for bad marks, which may fail.
      outs->push_back(Refusal(b, kRefused, {Around(pre + "boot environment at ", " cannot be read, left unchanged")},
                              "environment unreadable (bad-block query fails)"));
    }
    bool refusals_listed = false;
    bool unknown = false;
    std::vector<std::string> variants;
    for (uint32_t src : sources) {
      if (b.blk[src].c.empty()) unknown = true;
      for (const Img& i : b.blk[src].c) {
        Env e = ParseEnv(i->data);
        const std::string at = Fmt("0x%llx", static_cast<unsigned>(start));
        const std::string at2 = Fmt("0x%llx", static_cast<unsigned long long>(src) * eb_);
        if (!e.crc_ok) {
          outs->push_back(Refusal(b, kRefused, {Exact(pre + "boot environment at " + at + " fails its CRC, left unchanged"),
                                                Exact(pre + "boot environment at " + at2 + " fails its CRC, left unchanged")},
                                  "environment fails its CRC"));
          continue;
        }
        bool set = false;
        for (std::string& entry : e.entries) {
          const size_t eq = entry.find('=');
          if (eq != std::string::npos && entry.compare(0, eq, t[3]) == 0 && eq == t[3].size()) {
            entry = t[3] + "=" + value;
            set = true;
            break;
          }
        }
        if (!set) e.entries.push_back(t[3] + "=" + value);
        size_t used = 1;
        for (const std::string& entry : e.entries) used += entry.size() + 1;
        if (used > kEnvSize - 4) {
          outs->push_back(Refusal(b, kRefused, {Exact(pre + "boot environment at " + at + " would overflow, left unchanged"),
                                                Exact(pre + "boot environment at " + at2 + " would overflow, left unchanged")},
                                  "environment would overflow"));
          continue;
        }
        const std::string blk = EnvBlock(e.entries);
        if (std::find(variants.begin(), variants.end(), blk) == variants.end()) variants.push_back(blk);
      }
    }
    if (unknown) {
      outs->push_back(Refusal(b, kRefused, {Around(pre + "boot environment at ", ", left unchanged")}, "environment unknown"));
      Input none;
      none.known = false;
      DataLine(b, line, cmd, start, length, first, end, none, false, outs);
      refusals_listed = true;
    }
    for (const std::string& v : variants) {
      Input env;
      env.data.assign(v.begin(), v.end());
      env.oob.assign(ppb_ * oobsz_, 0xFF);
      DataLine(b, line, cmd, start, length, first, end, env, true, outs, !refusals_listed);
      refusals_listed = true;
    }
  }

  // Blocks a line may change at all: its erase range, for write the erased blocks behind it,
  // for the OOB lines the erased partial block at the end of the range.
  void AnyOver(Branch& o, Cmd cmd, long long start, long long length, uint32_t first, uint32_t end,
               const std::string& why) const {
    for (uint32_t k = first; k < nblocks_; ++k) {
      bool may = k < end;
      if (!may && cmd == kWrite) may = Erased(o, k) != kNo;
      if (!may && (cmd == kWriteOob || cmd == kDupOob) && length >= eb_ &&
          static_cast<long long>(k) * eb_ < start + length)
        may = Erased(o, k) != kNo;
      if (may && Bad(o, k) != kYes) {
        o.blk[k].c.clear();
        o.blk[k].why = why;
      }
    }
  }

  // write, writeoob, dupoob, setenv after their static checks: erase, check, program.
  void DataLine(const Branch& b, const std::string& line, Cmd cmd, long long start, long long length,
                uint32_t first, uint32_t end, const Input& in, bool known, std::vector<Branch>* outs,
                bool refusals = true) {
    const std::string pre = line + ": ";
    Branch b1 = b;
    std::vector<Tri> fail(nblocks_, kNo);
    bool unsure = !known;
    for (uint32_t k = first; k < end; ++k) fail[k] = EraseStep(b1, k, line);
    for (uint32_t k = first; k < nblocks_; ++k) unsure |= Bad(b1, k) == kMaybe;
    // The blank check reads the first good block from start.
    uint32_t firstgood = first;
    while (firstgood < nblocks_ && Bad(b1, firstgood) == kYes) ++firstgood;
    for (uint32_t k = first; k <= firstgood && k < nblocks_; ++k) b1.ecc_ok.push_back(static_cast<uint64_t>(k) * eb_);
    if (unsure)
      for (uint32_t k = first; k < end; ++k) b1.ecc_ok.push_back(static_cast<uint64_t>(k) * eb_);

    // After a refusal the erase range holds what it held or what the erase left.
    Branch held = b1;
    for (uint32_t k = first; k < end; ++k) {
      if (b.blk[k].c.empty()) {
        held.blk[k].c.clear();
        continue;
      }
      for (const Img& i : b.blk[k].c) Add(held.blk[k], i);
    }
    const std::string dyn_tail = ", nothing written";

    if (unsure) {
      Branch any = b1;
      AnyOver(any, cmd, start, length, first, end, line + " (outcome not determined)");
      if (refusals) {
        outs->push_back(Refusal(any, kRefused, {Around(pre, dyn_tail)}, "refused after its erase (undetermined)"));
        outs->push_back(Refusal(any, kWriterAbort, {}, "writer stopped (undetermined)"));
        outs->push_back(Refusal(any, kReaderAbort, {}, "reader stopped (undetermined)"));
      }
      any.log += "    -> written (undetermined)\n";
      outs->push_back(std::move(any));
      return;
    }

    const size_t npages = in.data.size() / page_;
    const long long lim = cmd == kWrite || cmd == kSetEnv ? size_ : (length == 0 ? size_ : start + length);
    // The path the data takes, as planned before programming.
    std::vector<Msg> d1, d2, d3;
    bool ok = true, abort_pre = false;
    std::vector<bool> planned(nblocks_, false);
    {
      size_t p = 0;
      uint32_t k = first;
      while (p < npages) {
        while (k < nblocks_ && Bad(b1, k) == kYes) ++k;
        const size_t cnt = std::min<size_t>(ppb_, npages - p);
        if (k >= nblocks_) {
          if (cmd == kWrite) abort_pre = true;
          d2.push_back(Exact(pre + "not enough good blocks in the range" + dyn_tail));
          ok = false;
          break;
        }
        const long long used_end = static_cast<long long>(k) * eb_ + static_cast<long long>(cnt) * page_;
        if (k < end) {
          const bool setenv_blank = cmd == kSetEnv && Erased(b1, k) == kYes;
          if (fail[k] != kNo && !setenv_blank)
            d1.push_back(Exact(pre + Fmt("block at 0x%llx did not erase", static_cast<unsigned long long>(k) * eb_) + dyn_tail));
          if (fail[k] == kYes && !setenv_blank) ok = false;
        } else if (cmd == kSetEnv || used_end > lim) {
          d2.push_back(Exact(pre + "not enough good blocks in the range" + dyn_tail));
          ok = false;
          break;
        } else if (Erased(b1, k) != kYes) {
          if (cmd == kWrite) abort_pre = true;
          else d2.push_back(Exact(pre + "not enough good blocks in the range" + dyn_tail));
          ok = false;
          break;
        } else if (cmd != kWrite) {
          // The partial block at the range's end was not erased by the line: writing into it
          // because it reads back erased, or refusing to, are both within the range's promise.
          d2.push_back(Exact(pre + "not enough good blocks in the range" + dyn_tail));
        }
        if (k < end && used_end > lim) {
          d2.push_back(Exact(pre + "not enough good blocks in the range" + dyn_tail));
          ok = false;
          break;
        }
        planned[k] = true;
        p += cnt;
        ++k;
      }
    }
    if (firstgood >= nblocks_ || FirstPageBlank(b1, firstgood) != kYes) {
      const unsigned long long at[] = {static_cast<unsigned long long>(start),
                                       static_cast<unsigned long long>(std::min(firstgood, nblocks_)) * eb_};
      for (unsigned long long a : at) d3.push_back(Exact(pre + Fmt("range at 0x%llx does not read back erased", a) + dyn_tail));
      if (firstgood >= nblocks_ || FirstPageBlank(b1, firstgood) == kNo) ok = cmd == kSetEnv ? ok : false;
    }
    if (bbq_) {
      for (uint32_t k = first; k < end; ++k)
        d1.push_back(Exact(pre + Fmt("block at 0x%llx did not erase", static_cast<unsigned long long>(k) * eb_) + dyn_tail));
    }
    if (refusals) {
      std::vector<Msg> all;
      all.insert(all.end(), d1.begin(), d1.end());
      all.insert(all.end(), d2.begin(), d2.end());
      all.insert(all.end(), d3.begin(), d3.end());
      if (!all.empty()) outs->push_back(Refusal(held, kRefused, all, "refused after its erase"));
      if (abort_pre || bbq_) {
        Branch any = b1;
        AnyOver(any, cmd, start, length, first, end, line + " (writer stopped)");
        outs->push_back(Refusal(any, kWriterAbort, {}, "writer stopped"));
        if (bbq_) outs->push_back(Refusal(held, kReaderAbort, {}, "blank check stopped"));
      }
    }
    if (!ok) return;

    // Programming, with the injected page failures: a failed block is erased, marked bad and
    // its records go again into the next good block.
    Branch o = b1;
    size_t p = 0;
    uint32_t k = first;
    std::string note = "written";
    while (p < npages) {
      while (k < nblocks_ && Bad(o, k) == kYes) ++k;
      const size_t cnt = std::min<size_t>(ppb_, npages - p);
      const long long used_end = static_cast<long long>(k) * eb_ + static_cast<long long>(cnt) * page_;
      bool usable = k < nblocks_ && used_end <= lim;
      if (usable && k >= end) usable = cmd != kSetEnv && Erased(o, k) == kYes;
      if (usable && !planned[k] && k < end && fail[k] != kNo && !(cmd == kSetEnv && Erased(b1, k) == kYes)) {
        // A block that may not have erased, met only after a relocation.
        Branch any = o;
        AnyOver(any, cmd, start, length, first, end, line + " (relocated into a doubtful block)");
        outs->push_back(Refusal(any, kWriterAbort, {}, "writer stopped at a doubtful block"));
        any.log += "    -> written (relocated into a doubtful block)\n";
        outs->push_back(std::move(any));
        return;
      }
      if (!usable) {
        Branch any = o;
        AnyOver(any, cmd, start, length, first, end, line + " (writer ran out of blocks)");
        outs->push_back(Refusal(any, kWriterAbort, {}, "writer ran out of blocks"));
        if (cmd == kSetEnv) outs->push_back(Refusal(any, kRefused, {Exact(pre + "not enough good blocks in the range" + dyn_tail)}, "no block left"));
        return;
      }
      // The first page of this block that fails to program.
      int failed_err = 0;
      for (size_t j = 0; j < cnt; ++j) {
        const uint64_t pg = static_cast<uint64_t>(k) * ppb_ + j;
        auto it = o.prog_left.find(pg);
        if (it == o.prog_left.end() || it->second == 0) continue;
        if (AllFF(&in.data[(p + j) * page_], page_) && AllFF(&in.oob[(p + j) * oobsz_], oobsz_)) {
          // A writer may leave a blank page unprogrammed: whether this fault fires is open.
          Branch any = o;
          AnyOver(any, cmd, start, length, first, end, line + " (blank page over a failing page)");
          outs->push_back(Refusal(any, kWriterAbort, {}, "writer stopped"));
          any.log += "    -> written (blank page over a failing page)\n";
          outs->push_back(std::move(any));
          return;
        }
        if (it->second > 0) --it->second;
        for (const Faults::Page& f : r_.faults.program)
          if (f.page == pg) failed_err = f.err;
        break;
      }
      if (failed_err != 0 && failed_err != kEio) {
        Branch any = o;
        AnyOver(any, cmd, start, length, first, end, line + " (program failure)");
        outs->push_back(Refusal(any, kWriterAbort, {}, "program failed"));
        return;
      }
      if (failed_err == kEio) {
        if (efault_.count(k)) {
          Branch any = o;
          AnyOver(any, cmd, start, length, first, end, line + " (failed block did not erase)");
          outs->push_back(Refusal(any, kWriterAbort, {}, "failed block"));
          any.log += "    -> written (failed block may not erase)\n";
          outs->push_back(std::move(any));
          return;
        }
        o.blk[k].c = {Make(std::vector<uint8_t>(eb_, 0xFF), std::vector<uint8_t>(ppb_ * oobsz_, 0xFF), true)};
        o.blk[k].why = line + " (page failed: erased, marked bad)";
        note += Fmt(", block %llu failed and was moved", k);
        ++k;
        continue;
      }
      std::vector<uint8_t> data(eb_, 0xFF), oob(ppb_ * oobsz_, 0xFF);
      memcpy(data.data(), &in.data[p * page_], cnt * page_);
      memcpy(oob.data(), &in.oob[p * oobsz_], cnt * oobsz_);
      o.blk[k].c = {Make(std::move(data), std::move(oob), false)};
      o.blk[k].why = line;
      p += cnt;
      ++k;
    }
    o.log += "    -> " + note + "\n";
    outs->push_back(std::move(o));
  }

  // ---- the end of a run: words, status, messages, chip ----
  void Leaf(const Branch& b) {
    ++leaves_;
    std::string why = Verdict(b);
    if (why.empty()) {
      passed_ = true;
      reading = b.log;
      return;
    }
    if (b.depth > fail_depth_) {
      fail_depth_ = b.depth;
      static const char* const kEnds[] = {"goes on", "finished", "refused", "file missing", "writer abort",
                                          "reader abort", "version refused", "version unreadable", "empty", "no slot"};
      fail_ = why + "\nthe model's reading of the run (" + kEnds[b.end] + "):\n" + b.log;
    }
  }

  std::string Verdict(const Branch& b) const {
    const std::string& out = r_.out;
    auto has = [&out](const std::string& s) { return out.find(s) != std::string::npos; };
    const bool fin = out.size() >= 7 && out.compare(out.size() - 7, 7, "finish\n") == 0;
    if (r_.signal) return Fmt("the run was killed by signal %llu", r_.signal);
    switch (b.end) {
      case kFinished: case kRefused: case kMissing: case kVersionStop:
        if (r_.status != 0) return Fmt("exit status %llu, want 0", r_.status);
        if (!fin) return "standard output does not end with \"finish\"";
        if (has("badimage") || has("abort") || has("Abort")) return "standard output holds badimage/abort";
        break;
      case kVersionRefused:
        if (r_.status != 0) return Fmt("exit status %llu, want 0 (version refused)", r_.status);
        if (!has("Check Version Error (" + b.version + " required), badimage\n")) return "no badimage for " + b.version;
        if (has("finish")) return "finish after a refused version";
        break;
      case kNoSlot:
        if (r_.status != 255 || !has("abort") || has("finish")) return "no slot to run: want abort and status 255";
        break;
      case kEmpty:
        if (r_.status != 0 || has("finish")) return "an empty script must end quietly with status 0";
        break;
      case kWriterAbort:
        if (r_.status != 255) return "want status 255";
        if (!has("Data was only partially written due to error, abort!\n")) return "no partial-write abort on standard output";
        if (has("finish")) return "finish after the writer gave up";
        break;
      case kReaderAbort:
        if (r_.status != 1) return "want status 1";
        if (!has("dump data failed,abort!")) return "no reader abort on standard output";
        if (has("finish")) return "finish after the reader gave up";
        break;
      default: break;
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
    if (refusals != want || !matched) {
      std::string s = Fmt("standard error holds %llu refusal line(s), want %llu", refusals, want);
      if (!b.msgs.empty()) s += "; one of:\n    " + b.msgs[0].head + (b.msgs[0].exact ? "" : "..." + b.msgs[0].tail);
      for (size_t i = 1; i < b.msgs.size() && i < 4; ++i) s += "\n    " + b.msgs[i].head;
      return s;
    }
    // ECC results are the plain blank checks' only; with-OOB copies are read raw.
    for (const std::string& l : err_) {
      unsigned long long at = 0;
      const char* p = strstr(l.c_str(), "bitflip(s) at offset 0x");
      if (l.compare(0, 5, "ECC: ") != 0 || !p || sscanf(p, "bitflip(s) at offset 0x%llx", &at) != 1) continue;
      if (std::find(b.ecc_ok.begin(), b.ecc_ok.end(), at) == b.ecc_ok.end())
        return "ECC result for a read that is not a blank check: " + l;
    }
    return ChipDiff(b);
  }

  std::string ChipDiff(const Branch& b) const {
    const ChipState& a = r_.after;
    for (uint32_t k = 0; k < nblocks_; ++k) {
      const Belief& x = b.blk[k];
      if (x.c.empty()) continue;
      if (!r_.touched.empty() && !r_.touched[k]) {
        // It holds what it held before: enough that the model allows exactly that.
        const uint8_t* was = &r_.before.data[static_cast<size_t>(k) * eb_];
        bool kept = false;
        for (const Img& i : x.c) kept |= i->data == was && i->bad == (r_.before.bad[k] != 0);
        if (kept) continue;
      }
      const uint8_t* d = &a.data[static_cast<size_t>(k) * eb_];
      const uint8_t* o = &a.oob[static_cast<size_t>(k) * ppb_ * oobsz_];
      bool same = false;
      for (const Img& i : x.c)
        same |= (i->bad == (a.bad[k] != 0)) && Equal(i->data, d, eb_) && Equal(i->oob, o, ppb_ * oobsz_);
      if (same) continue;
      const Block& w = *x.c[0];
      std::string s = Fmt("block %llu (0x%llx) ", k, static_cast<unsigned long long>(k) * eb_) +
                      "differs from what the model allows (" + std::to_string(x.c.size()) +
                      " candidate(s); last set by: " + x.why + ")\n  ";
      if (w.bad != (a.bad[k] != 0)) {
        s += std::string("bad mark: want ") + (w.bad ? "bad" : "good") + ", got " + (a.bad[k] ? "bad" : "good");
      } else {
        size_t i = 0;
        while (i < eb_ && w.data[i] == d[i]) ++i;
        if (i < eb_) {
          s += Fmt("data at 0x%llx: want %02llx", static_cast<unsigned long long>(k) * eb_ + i, w.data[i]) +
               Fmt(", got %02llx", d[i]);
        } else {
          size_t j = 0;
          while (w.oob[j] == o[j]) ++j;
          s += Fmt("OOB byte %llu of page %llu", j % oobsz_, static_cast<unsigned long long>(k) * ppb_ + j / oobsz_) +
               Fmt(": want %02llx, got %02llx", w.oob[j], o[j]);
        }
      }
      s += "\n  environment view: want " + DescribeEnv(w.data) + "; got " + DescribeEnv(d);
      return s;
    }
    return "";
  }
};

}  // namespace

std::string Map(const ChipState& c) {
  std::string m;
  const size_t ppb = c.eb_size / c.page_size;
  for (uint32_t k = 0; k < c.blocks(); ++k) {
    const uint8_t* d = &c.data[static_cast<size_t>(k) * c.eb_size];
    if (c.bad[k]) m += 'B';
    else if (AllFF(d, c.eb_size) && AllFF(&c.oob[k * ppb * c.oob_size], ppb * c.oob_size)) m += '.';
    else if (c.eb_size >= kEnvSize && ParseEnv(d).crc_ok) m += 'E';
    else if (c.eb_size >= kEnvSize && d[4] >= 'a' && d[4] <= 'z' && ParseEnv(d).entries.size() > 0) m += 'e';
    else m += 'x';
  }
  return m;
}

std::string Check(const RunRecord& run, std::string* reading) {
  if (run.after.violations != 0)
    return Fmt("%llu page program(s) over bytes that were not erased", run.after.violations);
  if (run.after.data.size() != run.before.data.size() || run.after.bad.size() != run.before.bad.size())
    return "the chip did not come back from the run";
  Model m(run);
  std::string why = m.Run();
  if (reading) *reading = m.reading;
  return why;
}

}  // namespace oracle
