// Flash commands of update scripts under chip faults, on a small simulated board: each case
// runs one script line and compares the whole chip (data, OOB, bad marks) with what the
// command may change; nothing outside its range may differ.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Driver.h"
#include "bench.h"
#include "child.h"
#include "private_ns.h"

namespace {

const uint32_t kPage = 2048, kOob = 64, kPpb = 64, kBlocks = 64;
const uint32_t kFirst = 16, kCount = 4;  // the command's range: blocks 16..19
const uint32_t kSource = 40;              // dupoob reads four blocks from here
const uint32_t kEnvBlock = 30;            // the environment the driver reads, in no range

enum Cmd { kWrite, kWriteOob, kDupOob, kErase, kSetEnv };
enum Fault {
  kNone,
  kBad,        // block pos of the range is bad
  kBadFrom,    // blocks pos to the end of the range are bad
  kEio,        // page pos of the first block written into fails to program once
  kEraseFail,  // block pos of the range always fails to erase
  kFlips,      // page pos of the range start reads with one corrected and one failed bitflip
  kSrcBad,     // block pos of dupoob's source is bad
  kSrcFlips,   // page pos of dupoob's source reads with bitflips
};

struct Case {
  const char* name;
  Cmd cmd;
  Fault fault;
  uint32_t pos;
};

struct Snapshot {
  std::vector<uint8_t> data, oob;
  std::vector<bool> bad;
};

Snapshot Take(sim::Chip& c) {
  Snapshot s;
  s.data.assign(c.data(0), c.data(0) + static_cast<size_t>(kBlocks) * kPpb * kPage);
  s.oob.assign(c.oob(0), c.oob(0) + static_cast<size_t>(kBlocks) * kPpb * kOob);
  for (uint32_t b = 0; b < kBlocks; ++b) s.bad.push_back(c.is_bad(b));
  return s;
}

size_t PageAt(uint32_t block, uint32_t page = 0) { return static_cast<size_t>(block) * kPpb + page; }

// Pages the command programs: data and OOB (0xFF where it programs none).
struct Image {
  std::vector<std::string> data, oob;
};

const std::vector<std::string> kEnvBefore = {"bootdelay=3", "image=1", "bootcmd=run slot"};
const std::vector<std::string> kEnvAfter = {"bootdelay=3", "image=2", "bootcmd=run slot"};

Image MakeImage(const Case& c, const Snapshot& before) {
  Image im;
  if (c.cmd == kSetEnv) {
    const std::string env = bench::EnvBlock(kEnvAfter);
    for (uint32_t p = 0; p < kPpb; ++p) {
      im.data.push_back(env.substr(p * kPage, kPage));
      im.oob.push_back(std::string(kOob, '\xff'));
    }
  } else if (c.cmd == kDupOob) {
    // What the reader copies: the source's good blocks, page data and the first 32 OOB bytes.
    for (uint32_t b = kSource; im.data.size() < kCount * kPpb; ++b) {
      if (before.bad[b]) continue;
      for (uint32_t p = 0; p < kPpb; ++p) {
        const size_t pg = PageAt(b, p);
        im.data.emplace_back(reinterpret_cast<const char*>(&before.data[pg * kPage]), kPage);
        std::string o(kOob, '\xff');
        o.replace(0, 32, reinterpret_cast<const char*>(&before.oob[pg * kOob]), 32);
        im.oob.push_back(o);
      }
    }
  } else if (c.cmd != kErase) {
    // writeoob fills the range exactly, so a lost block shows as a partial write; write leaves
    // one block of the range unused so that nothing runs past it.
    const uint32_t pages = c.cmd == kWriteOob ? kCount * kPpb : 2 * kPpb + 5;
    for (uint32_t p = 0; p < pages; ++p) {
      im.data.push_back(bench::Pattern(kPage, 100 + p));
      std::string o(kOob, '\xff');
      if (c.cmd == kWriteOob) o.replace(0, 32, bench::Pattern(32, 300 + p));
      im.oob.push_back(o);
    }
  }
  return im;
}

std::string Fmt(const char* f, unsigned long long a, unsigned long long b = 0) {
  char m[128];
  snprintf(m, sizeof m, f, a, b);
  return m;
}

struct Expect {
  Snapshot chip;
  std::string out;
  std::vector<std::string> err;  // lines standard error must hold
  int status = 0;
};

void EraseBlock(Snapshot& s, uint32_t b) {
  memset(&s.data[PageAt(b) * kPage], 0xFF, kPpb * kPage);
  memset(&s.oob[PageAt(b) * kOob], 0xFF, kPpb * kOob);
}

// What the design gives: the range erased block by block (bad and failing blocks left as they
// were); a range with a block that did not erase, or whose first good block does not read
// blank, is not written; else the image is laid on the good blocks from the range start, a
// block whose page program fails is erased and its data written again into the next block.
Expect Model(const Case& c, const Snapshot& before, const Image& im, const std::string& head) {
  Expect e;
  e.chip = before;
  e.out = head;
  const uint32_t end = kFirst + kCount;
  bool erase_failed = false;
  for (uint32_t b = kFirst; b < end; ++b) {
    if (before.bad[b]) {
      e.out += Fmt("Skipping bad block at %08llx", static_cast<unsigned long long>(b) * bench::kEb);
    } else if (c.fault == kEraseFail && b == kFirst + c.pos) {
      e.err.push_back("flash_erase: error!: /dev/mtd0: MTD Erase failure\n");
      erase_failed = true;
    } else {
      EraseBlock(e.chip, b);
    }
  }
  if (c.cmd == kSetEnv && erase_failed) {
    e.err.push_back("setenv image: boot environment at 0x200000 did not erase, not written\n");
  } else if (erase_failed && c.cmd != kErase) {
    e.err.push_back("range at 0x200000 did not erase, nothing written\n");
  }
  if (c.cmd == kErase || erase_failed) {
    e.out += "finish\n";
    return e;
  }
  if (c.fault == kFlips && c.cmd != kSetEnv) {  // the erase check reads and reports them
    e.err.push_back("ECC: 1 uncorrectable bitflip(s) at offset 0x00200000\n");
    e.err.push_back("ECC: 1 corrected bitflip(s) at offset 0x00200000\n");
  }
  if (c.fault == kSrcFlips) {
    const unsigned long long at = static_cast<unsigned long long>(kSource) * bench::kEb + c.pos * kPage;
    e.err.push_back(Fmt("ECC: 1 uncorrectable bitflip(s) at offset 0x%08llx\n", at));
    e.err.push_back(Fmt("ECC: 2 corrected bitflip(s) at offset 0x%08llx\n", at));
  }
  const uint32_t limit = c.cmd == kWrite ? kBlocks : end;
  uint32_t first_good = kFirst;
  while (before.bad[first_good]) ++first_good;
  bool eio = c.fault == kEio;
  const uint32_t eio_block = c.cmd == kSetEnv ? first_good : first_good + 1;
  size_t page = 0;
  for (uint32_t b = kFirst; page < im.data.size(); ++b) {
    if (b >= limit) {
      e.out += "Data was only partially written due to error, abort!\n";
      e.err.push_back("nandwrite: error!: Data was only partially written due to error\n");
      e.status = 255;
      return e;
    }
    e.out += Fmt("Writing data to block %llu at offset 0x%llx\n", b,
                 static_cast<unsigned long long>(b) * bench::kEb);
    if (before.bad[b]) {
      if (b + 1 >= limit) {
        e.out += "Data was only partially written due to error, abort!\n";
        e.err.push_back("too many bad blocks, cannot complete request\n");
        e.status = 255;
        return e;
      }
      continue;
    }
    if (eio && b == eio_block) {
      eio = false;
      EraseBlock(e.chip, b);
      e.err.push_back(Fmt("Erasing failed write from %#08llx to %#08llx\n",
                          static_cast<unsigned long long>(b) * bench::kEb,
                          static_cast<unsigned long long>(b + 1) * bench::kEb - 1));
      continue;
    }
    for (uint32_t p = 0; p < kPpb && page < im.data.size(); ++p, ++page) {
      const size_t at = PageAt(b, p);
      for (uint32_t i = 0; i < kPage; ++i)
        e.chip.data[at * kPage + i] &= static_cast<uint8_t>(im.data[page][i]);
      for (uint32_t i = 0; i < kOob; ++i)
        e.chip.oob[at * kOob + i] &= static_cast<uint8_t>(im.oob[page][i]);
    }
  }
  e.out += "finish\n";
  return e;
}

// First difference of two snapshots, or "".
std::string Diff(const Snapshot& want, const Snapshot& got) {
  for (uint32_t b = 0; b < kBlocks; ++b)
    if (want.bad[b] != got.bad[b]) return Fmt("bad mark of block %llu", b);
  for (size_t i = 0; i < want.data.size(); ++i)
    if (want.data[i] != got.data[i])
      return Fmt("data at 0x%llx: want %02llx", i, want.data[i]) + Fmt(" got %02llx", got.data[i]);
  for (size_t i = 0; i < want.oob.size(); ++i)
    if (want.oob[i] != got.oob[i]) return Fmt("OOB byte %llu of page %llu", i % kOob, i / kOob);
  return "";
}

// The check runs also when the writer ends the process. It then prints the standard error
// lines the model wants, after all of fwapply's: the parent looks for each before them.
const Snapshot* g_want = nullptr;
sim::Chip* g_chip = nullptr;
std::string g_wanted;
void CheckChip() {
  if (!g_want || !g_chip) return;
  std::string d = Diff(*g_want, Take(*g_chip));
  printf("chip: %s\n", d.empty() ? "ok" : d.c_str());
  fflush(stdout);
  fprintf(stderr, "%s", g_wanted.c_str());
  fflush(stderr);
  g_want = nullptr;
}

const char* Line(Cmd cmd) {
  switch (cmd) {
    case kWrite: return "write 200000 80000 img\n";
    case kWriteOob: return "writeoob 200000 80000 img\n";
    case kDupOob: return "dupoob 200000 80000 80000 500000\n";
    case kErase: return "erase 200000 80000\n";
    case kSetEnv: return "setenv 200000 80000 image 2\n";
  }
  return "";
}

class FaultMatrix : public ::testing::TestWithParam<Case> {};

// The child prints the model's output, "--", then fwapply's output and the chip's verdict; on
// standard error the model's status first and, after fwapply's own lines, the lines it wants.
TEST_P(FaultMatrix, OutcomeAndNothingOutsideTheRange) {
  const Case c = GetParam();
  testutil::ChildResult r = testutil::RunIsolated([&]() -> int {
    bench::Board b(bench::Geometry(kPage, static_cast<uint64_t>(kBlocks) * bench::kEb));
    for (uint32_t pg = 0; pg < kBlocks * kPpb; ++pg) {
      std::string d = bench::Pattern(kPage, pg + 7), o = bench::Pattern(kOob, pg * 5 + 1);
      memcpy(b.chip.data(static_cast<uint64_t>(pg) * kPage), d.data(), kPage);
      memcpy(b.chip.oob(pg), o.data(), kOob);
    }
    b.kernel.add_mtd(4, &b.chip, "u-boot-env", kEnvBlock * bench::kEb, bench::kEnvSize);
    b.kernel.add_block("/dev/mtdblock4", &b.chip, kEnvBlock * bench::kEb, bench::kEnvSize);
    const std::string slot = bench::EnvBlock({"image=1"});
    memcpy(b.chip.data(kEnvBlock * bench::kEb), slot.data(), slot.size());
    if (c.cmd == kSetEnv) {
      const std::string env = bench::EnvBlock(kEnvBefore);
      memcpy(b.chip.data(kFirst * bench::kEb), env.data(), env.size());
    }
    bench::Put(std::string(bench::kDir) + "/fwupdate_1", Line(c.cmd));
    if (c.fault == kBad) b.chip.mark_bad(kFirst + c.pos);
    for (uint32_t bb = kFirst + c.pos; c.fault == kBadFrom && bb < kFirst + kCount; ++bb)
      b.chip.mark_bad(bb);
    if (c.fault == kSrcBad) b.chip.mark_bad(kSource + c.pos);
    if (c.fault == kEraseFail) b.chip.fail_erase(kFirst + c.pos, 5, -1);
    if (c.fault == kFlips) b.chip.bitflips(PageAt(kFirst, c.pos), 1, 1);
    if (c.fault == kSrcFlips) b.chip.bitflips(PageAt(kSource, c.pos), 2, 1);
    static Snapshot before, want;
    before = Take(b.chip);
    const Image im = MakeImage(c, before);
    if (c.cmd == kWrite || c.cmd == kWriteOob) {
      std::string file;
      for (size_t p = 0; p < im.data.size(); ++p)
        file += im.data[p] + (c.cmd == kWriteOob ? im.oob[p].substr(0, 32) : std::string());
      bench::Put(std::string(bench::kDir) + "/img", file);
    }
    if (c.fault == kEio) {
      uint32_t first_good = kFirst;
      while (before.bad[first_good]) ++first_good;
      b.chip.fail_program(PageAt(c.cmd == kSetEnv ? first_good : first_good + 1, c.pos));
    }
    const unsigned budget = c.cmd == kSetEnv ? 1 : c.cmd == kErase ? 0 : c.cmd == kWrite ? 3 : 4;
    Expect e = Model(c, before, im,
                     Fmt("Checking fwupdate_1 \nTotal Block to Write = %llu\n", budget));
    want = e.chip;
    fprintf(stderr, "model status %d\n", e.status);
    fflush(stderr);
    printf("%s--\n", e.out.c_str());
    fflush(stdout);
    g_want = &want;
    g_chip = &b.chip;
    atexit(CheckChip);
    g_wanted = "wanted:\n";
    for (const std::string& l : e.err) g_wanted += "want: " + l;
    char arg0[] = "fwapply", arg1[] = "/tmp/update";
    char* argv[] = {arg0, arg1, nullptr};
    int rc = FwApplyMain(2, argv);
    fflush(stdout);
    CheckChip();
    return rc & 0xFF;
  });
  SKIP_IF_NOT_ISOLATED(r);
  const size_t sep = r.out.find("--\n");
  ASSERT_NE(std::string::npos, sep) << r.out << r.err;
  EXPECT_EQ(r.out.substr(0, sep) + "chip: ok\n", r.out.substr(sep + 3)) << r.err;
  int model_status = -1;
  ASSERT_EQ(1, sscanf(r.err.c_str(), "model status %d", &model_status)) << r.err;
  EXPECT_EQ(model_status, r.status) << r.err;
  const size_t w = r.err.rfind("wanted:\n");
  ASSERT_NE(std::string::npos, w) << r.err;
  const std::string got = r.err.substr(0, w);
  for (size_t at = r.err.find("want: ", w); at != std::string::npos;) {
    const size_t next = r.err.find("want: ", at + 6);
    const std::string line = r.err.substr(at + 6, next == std::string::npos ? next : next - at - 6);
    EXPECT_NE(std::string::npos, got.find(line)) << "missing: " << line << r.err;
    at = next;
  }
}

const Case kCases[] = {
    {"WriteClean", kWrite, kNone, 0},
    {"WriteBadFirst", kWrite, kBad, 0},
    {"WriteBadMiddle", kWrite, kBad, 1},
    {"WriteBadLast", kWrite, kBad, 3},
    {"WriteEioFirstPage", kWrite, kEio, 0},
    {"WriteEioMiddlePage", kWrite, kEio, 31},
    {"WriteEioLastPage", kWrite, kEio, 63},
    {"WriteEraseFailFirst", kWrite, kEraseFail, 0},
    {"WriteEraseFailMiddle", kWrite, kEraseFail, 1},
    {"WriteEraseFailLast", kWrite, kEraseFail, 3},
    {"WriteBitflipsAtCheck", kWrite, kFlips, 0},
    {"WriteOobClean", kWriteOob, kNone, 0},
    {"WriteOobBadFirst", kWriteOob, kBad, 0},
    {"WriteOobBadMiddle", kWriteOob, kBad, 1},
    {"WriteOobBadLast", kWriteOob, kBad, 3},
    {"WriteOobBadFromSecond", kWriteOob, kBadFrom, 1},
    {"WriteOobEioFirstPage", kWriteOob, kEio, 0},
    {"WriteOobEioMiddlePage", kWriteOob, kEio, 31},
    {"WriteOobEioLastPage", kWriteOob, kEio, 63},
    {"WriteOobEraseFailFirst", kWriteOob, kEraseFail, 0},
    {"WriteOobEraseFailMiddle", kWriteOob, kEraseFail, 2},
    {"WriteOobBitflipsAtCheck", kWriteOob, kFlips, 0},
    {"DupOobClean", kDupOob, kNone, 0},
    {"DupOobSourceBadFirst", kDupOob, kSrcBad, 0},
    {"DupOobSourceBadLast", kDupOob, kSrcBad, 3},
    {"DupOobSourceBitflips", kDupOob, kSrcFlips, 5},
    {"DupOobTargetBadMiddle", kDupOob, kBad, 1},
    {"DupOobEioMiddlePage", kDupOob, kEio, 31},
    {"DupOobEraseFailLast", kDupOob, kEraseFail, 3},
    {"EraseClean", kErase, kNone, 0},
    {"EraseBadFirst", kErase, kBad, 0},
    {"EraseBadMiddle", kErase, kBad, 1},
    {"EraseBadLast", kErase, kBad, 3},
    {"EraseFailFirst", kErase, kEraseFail, 0},
    {"EraseFailMiddle", kErase, kEraseFail, 1},
    {"EraseFailLast", kErase, kEraseFail, 3},
    {"SetEnvClean", kSetEnv, kNone, 0},
    {"SetEnvBadFirst", kSetEnv, kBad, 0},
    {"SetEnvAllBad", kSetEnv, kBadFrom, 0},
    {"SetEnvEioFirstPage", kSetEnv, kEio, 0},
    {"SetEnvEioLastPage", kSetEnv, kEio, 63},
    {"SetEnvEraseFailFirst", kSetEnv, kEraseFail, 0},
    {"SetEnvEraseFailLast", kSetEnv, kEraseFail, 3},
    {"SetEnvBitflips", kSetEnv, kFlips, 0},
};

INSTANTIATE_TEST_SUITE_P(Commands, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
