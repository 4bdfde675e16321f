// Fault campaign: generated update scripts run through the whole updater on a small simulated
// chip (blank, random or environment blocks; bad blocks, failing programs, erases and bad-block
// queries, bitflips), each run judged by the flash oracle. FWAPPLY_CAMPAIGN_SEEDS=SEED:1 replays one.
#include <errno.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "Driver.h"
#include "board.h"
#include "flash_oracle.h"

#if defined(__SANITIZE_ADDRESS__)
// A small quarantine: the chip-sized buffers every case frees would otherwise stay resident,
// and every fork of a case copies what is resident.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

namespace {

const uint32_t kPage = 2048, kOob = 64, kEb = 0x20000, kPpb = kEb / kPage, kBlocks = 32;
const long long kSize = static_cast<long long>(kBlocks) * kEb;
const uint32_t kDriverEnv = kBlocks - 1;  // holds image=1, read by the driver before the script
std::string g_dir;                        // the package, in a private directory of the run
const int kParts = 4;
// Sanitized and ARM cases cost ten times as much: fewer of them, and other seeds than the host's.
#if defined(__SANITIZE_ADDRESS__)
const long long kFirstSeed = 100000, kSeedsPerPart = 120;
#elif defined(__arm__)
const long long kFirstSeed = 200000, kSeedsPerPart = 50;
#else
const long long kFirstSeed = 0, kSeedsPerPart = 500;
#endif

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x1234567) { next(); }
  uint64_t next() { return s ^= s << 13, s ^= s >> 7, s ^= s << 17; }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  bool chance(uint32_t pct) { return below(100) < pct; }
  template <typename T>
  T pick(const std::vector<T>& v) {
    return v[below(static_cast<uint32_t>(v.size()))];
  }
  void fill(uint8_t* p, size_t n) {
    for (size_t i = 0; i + 8 <= n; i += 8) next(), memcpy(p + i, &s, 8);
  }
};

std::string Hex(Rng& r, long long v) {
  char b[32];
  if (v < 0)
    snprintf(b, sizeof b, "-%llx", -v);
  else
    snprintf(b, sizeof b, r.chance(50) ? "%llx" : r.chance(80) ? "0x%llx" : "%llxh", v);
  return b;
}

// One case: the chip, the package and the script, all from the seed.
struct Case {
  std::string script;
  oracle::Faults faults;
  std::vector<uint32_t> anchors;  // blocks the lines start at, so that ranges meet and overlap
  std::vector<uint32_t> envs;     // blocks holding an environment (good or damaged)
  bool no_slot = false;           // the driver's environment lacks "image"
};

class Generator {
 public:
  Generator(uint64_t seed, sim::Chip& chip) : r_(seed), chip_(chip) {}

  Case Make() {
    Case c;
    for (int i = 0; i < 3; ++i) c.anchors.push_back(r_.below(kBlocks - 8));
    State(c);
    const int lines = 1 + static_cast<int>(r_.below(5));
    for (int i = 0; i < lines; ++i) c.script += Line(c, true) + (r_.chance(10) ? "\r\n" : "\n");
    if (r_.chance(3)) c.script += "write 0 20000 img";  // no line end
    Faults(c);
    for (const std::string& name : used_) MakeFile(name);
    testutil::WriteAll(g_dir + "/fwupdate_1", c.script);
    testutil::WriteAll(g_dir + "/version", "v1.2r3 build\n");
    return c;
  }

 private:
  Rng r_;
  sim::Chip& chip_;
  std::vector<std::string> used_;

  void RandomBlock(uint32_t b) {
    r_.fill(chip_.data(static_cast<uint64_t>(b) * kEb), kEb);
    r_.fill(chip_.oob(static_cast<uint64_t>(b) * kPpb), kPpb * kOob);
  }

  void PutEnv(uint32_t b, const std::vector<std::string>& entries, bool damage) {
    static std::map<std::vector<std::string>, std::string> made;  // one CRC over a whole block each
    std::string& cached = made[entries];
    if (cached.empty()) cached = oracle::EnvBlock(entries);
    std::string env = cached;
    if (damage) env[4 + r_.below(64)] ^= 0x01;
    chip_.fill(static_cast<uint64_t>(b) * kEb, kEb, 0xFF);
    memset(chip_.oob(static_cast<uint64_t>(b) * kPpb), 0xFF, kPpb * kOob);
    memcpy(chip_.data(static_cast<uint64_t>(b) * kEb), env.data(), env.size());
  }

  // Blank, random or mixed contents; environments good, damaged or blank at some anchors.
  void State(Case& c) {
    const uint32_t kind = r_.below(4);
    for (uint32_t b = 0; b < kBlocks; ++b) {
      if (kind == 1 || (kind == 2 && r_.chance(50)) || (kind == 3 && r_.chance(10))) RandomBlock(b);
    }
    for (uint32_t a : c.anchors) {
      if (!r_.chance(60)) continue;
      const uint32_t b = a + r_.below(2);
      const uint32_t e = r_.below(10);
      if (e < 8)
        PutEnv(b, {"bootdelay=3", "image=1", "bootcmd=run slot", "bootargs=console=ttyS0"}, false);
      else if (e < 9)
        PutEnv(b, {"image=1", "x=y"}, true);
      else
        chip_.fill(static_cast<uint64_t>(b) * kEb, kEb, 0xFF);
      c.envs.push_back(b);
    }
    // Now and then the boot environment names no slot: the updater must stop before any script.
    c.no_slot = r_.chance(2);
    PutEnv(kDriverEnv, {c.no_slot ? "imagex=1" : "image=1"}, false);
  }

  std::string File(bool oob) {
    static const std::vector<std::string> kPlain = {"img", "img", "small", "big", "empty", "odd"};
    static const std::vector<std::string> kOobFiles = {"oob", "oob", "oob1", "oobodd", "empty"};
    static const std::vector<std::string> kOdd = {"dir", "pipe", "link", "dead", "missing"};
    std::string name = r_.chance(12) ? r_.pick(kOdd) : r_.pick(oob ? kOobFiles : kPlain);
    used_.push_back(name);
    return name;
  }

  void MakeFile(const std::string& name) {
    const std::string path = g_dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 || name == "missing") return;
    if (name == "dir") return (void)mkdir(path.c_str(), 0755);
    if (name == "pipe") return (void)mkfifo(path.c_str(), 0644);
    if (name == "link") MakeFile("img");
    if (name == "link" || name == "dead") {
      if (symlink(name == "link" ? "img" : "nowhere", path.c_str()) != 0) abort();
      return;
    }
    const size_t rec = kPage + 32;
    static const std::map<std::string, std::vector<size_t>> kSizes = {
        {"img", {kPage, kEb, kEb + 1, 2 * kEb - kPage, 3 * kEb + 5, 100}},
        {"small", {1, kPage - 1, kPage + 1}},
        {"big", {5 * kEb, 9 * kEb + 7}},
        {"odd", {3001}},
        {"empty", {0}},
        {"oob", {rec * kPpb, rec * 2 * kPpb, rec * (kPpb + 1), rec * (3 * kPpb - 1), rec * 5 * kPpb}},
        {"oob1", {rec}},
        {"oobodd", {rec + 1, kPpb * (kPage + 64)}}};
    const std::vector<size_t>& sizes = kSizes.at(name);
    const size_t n = sizes.size() == 1 ? sizes[0] : r_.pick(sizes);
    std::string data(n, '\0');
    r_.fill(reinterpret_cast<uint8_t*>(&data[0]), n);
    testutil::WriteAll(path, data);
  }

  long long Start(const Case& c) {
    const uint32_t u = r_.below(100);
    const long long a = static_cast<long long>(r_.pick(c.anchors)) * kEb;
    if (u < 75) return a + (r_.chance(30) ? kEb * r_.below(3) : 0);
    if (u < 82) return a + r_.pick(std::vector<long long>{0x800, 1, 0x1FFFF});
    if (u < 85) return r_.pick(std::vector<long long>{-kEb, -1});
    if (u < 88) return r_.pick(std::vector<long long>{0x7FFFFFFF, 0x100000000ll, kSize});
    if (u < 91) return kSize - kEb;
    return static_cast<long long>(r_.below(kBlocks)) * kEb;
  }

  long long Length() {
    const uint32_t u = r_.below(100);
    if (u < 65) return kEb * (1 + r_.below(4));
    if (u < 73) return 0;
    if (u < 80) return r_.pick(std::vector<long long>{0x800, 0x1FFFF, 0x10000});
    if (u < 88) return kEb * (1 + r_.below(3)) + r_.pick(std::vector<long long>{0x800, 0x10000});
    if (u < 91) return -kEb;
    if (u < 95) return r_.pick(std::vector<long long>{0x7FFFFFFF, 0x100000000ll});
    return kSize;
  }

  std::string Line(const Case& c, bool nest) {
    const uint32_t u = r_.below(100);
    if (u < 18) return "write " + Hex(r_, Start(c)) + " " + Hex(r_, Length()) + " " + File(false);
    if (u < 32) return "writeoob " + Hex(r_, Start(c)) + " " + Hex(r_, Length()) + " " + File(true);
    if (u < 44) {
      long long src = static_cast<long long>(r_.pick(c.anchors)) * kEb;
      if (r_.chance(15)) src += r_.pick(std::vector<long long>{0x800, 1, -kEb - src, kSize - src});
      long long len = r_.chance(70) ? kEb * (1 + r_.below(2))
                                    : r_.pick(std::vector<long long>{0, 0x800, 0x10800, -1, kSize});
      const long long target =
          r_.chance(70) && len > 0 ? (len + kEb - 1) / kEb * kEb + kEb * r_.below(3) : Length();
      return "dupoob " + Hex(r_, Start(c)) + " " + Hex(r_, target) + " " + Hex(r_, len) + " " + Hex(r_, src);
    }
    if (u < 56) return "erase " + Hex(r_, Start(c)) + " " + Hex(r_, Length());
    if (u < 76) {
      long long start =
          !c.envs.empty() && r_.chance(85) ? static_cast<long long>(r_.pick(c.envs)) * kEb : Start(c);
      long long len = r_.chance(80) ? kEb * (1 + r_.below(2)) : Length();
      std::string name =
          r_.pick(std::vector<std::string>{"image", "image", "bootcmd", "newvar", "a=b", "bootargs"});
      std::string value = r_.pick(std::vector<std::string>{"2", "console=ttyS0", "run slot"});
      if (r_.chance(30)) value += " root=/dev/x\tquiet";
      return "setenv " + Hex(r_, start) + " " + Hex(r_, len) + " " + name + " " + value;
    }
    if (u < 86 && nest) {
      std::string name =
          r_.pick(std::vector<std::string>{"rootfs", "kern", "missing", ".", "nand0", "[", "u-boot-env$"});
      return "ifnpart " + name + " " + Line(c, r_.chance(20));
    }
    if (u < 93) {
      std::string file = g_dir + (r_.chance(85) ? "/version" : "/none");
      return "chkver " + file + " " +
             r_.pick(std::vector<std::string>{"1.0", "1.2", "1.2", "1.3", "2.0", "x", "1"});
    }
    return r_.pick(std::vector<std::string>{"erase 200000", "format 0 20000", "write 0 20000",
                                            "setenv 0 20000 image", "  "});
  }

  // Faults near the anchors, where the lines work; a third of the cases have none.
  void Faults(Case& c) {
    if (r_.chance(30)) return;
    const int n = 1 + static_cast<int>(r_.below(3));
    for (int i = 0; i < n; ++i) {
      const uint32_t b = std::min(kBlocks - 1, r_.pick(c.anchors) + (r_.chance(60) ? 0 : r_.below(4)));
      const uint32_t u = r_.below(100);
      if (u < 35) {
        if (b != kDriverEnv) chip_.mark_bad(b);
      } else if (u < 60) {
        const uint32_t page = r_.pick(std::vector<uint32_t>{0, 1, kPpb / 2, kPpb - 1, r_.below(kPpb)});
        c.faults.program.push_back(
            {static_cast<uint64_t>(b) * kPpb + page, r_.chance(90) ? EIO : EROFS, r_.chance(70) ? 1 : -1});
      } else if (u < 80) {
        c.faults.erase.push_back({b, EIO, r_.chance(50) ? 1 : -1});
      } else if (u < 88) {
        c.faults.bbquery_err = r_.chance(50) ? EIO : EOPNOTSUPP;
        c.faults.bbquery_times = r_.chance(50) ? 1 : -1;
      } else {
        c.faults.flips.push_back(static_cast<uint64_t>(b) * kPpb + (r_.chance(50) ? 0 : r_.below(kPpb)));
      }
    }
  }
};

// What the run hands back: the chip as the updater left it, even when it ended with exit().
struct Handback {
  int done;
  uint64_t violations;
  uint8_t bad[kBlocks];
  uint8_t data[kBlocks * static_cast<size_t>(kEb)];
  uint8_t oob[kBlocks * static_cast<size_t>(kPpb) * kOob];
};
Handback* g_back = nullptr;
sim::Chip* g_chip = nullptr;

void HandChipBack() {
  if (g_back->done++) return;
  memcpy(g_back->data, g_chip->data(0), sizeof g_back->data);
  memcpy(g_back->oob, g_chip->oob(0), sizeof g_back->oob);
  for (uint32_t b = 0; b < kBlocks; ++b) g_back->bad[b] = g_chip->is_bad(b);
  g_back->violations = g_chip->violations();
}

// Runs the seeds in [first, first + count), printing each broken promise; returns how many broke.
int RunSeeds(long long first, long long count) {
  // Chip-sized buffers come and go with every case: kept in the heap, they are not faulted in anew.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  auto* back = static_cast<Handback*>(
      mmap(nullptr, sizeof(Handback), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  testutil::TempDir root;
  const testboard::Places places(root.path());
  g_dir = places.work;
  int failed = 0;
  for (long long seed = first; seed < first + count && failed < 100; ++seed) {
    for (const auto& e : std::filesystem::directory_iterator(g_dir)) std::filesystem::remove_all(e);
    sim::Chip chip(sim::Geometry{kPage, kOob, kEb, 0, static_cast<uint64_t>(kSize)});
    chip.strict = false;  // the oracle reports a program over unerased bytes with the case
    Case c = Generator(static_cast<uint64_t>(seed), chip).Make();
    oracle::RunRecord run;
    oracle::Capture(chip, &run.before);
    sim::Kernel k;  // the board's kernel, as the run will meet it
    oracle::Board(k, chip);
    run.proc_mtd = k.proc_mtd();
    back->done = 0;
    testutil::ChildResult res = testutil::RunChild([&]() -> int {
      alarm(30);
      oracle::Arm(k, chip, c.faults);
      g_back = back, g_chip = &chip;
      atexit(HandChipBack);
      char arg0[] = "fwapply";
      char* argv[] = {arg0, &g_dir[0], nullptr};
      const int rc = FwApplyMain(2, argv);
      fflush(stdout);
      HandChipBack();
      return rc;
    });
    if (back->done) {
      run.after.data.assign(back->data, back->data + sizeof back->data);
      run.after.oob.assign(back->oob, back->oob + sizeof back->oob);
      run.after.bad.assign(back->bad, back->bad + kBlocks);
      run.after.violations = back->violations;
    }
    run.script = c.script;
    run.dir = run.cwd = g_dir;
    run.faults = c.faults;
    run.no_slot = c.no_slot;
    run.out = res.out, run.err = res.err, run.status = res.status, run.signal = res.signal;
    const std::string why = oracle::Check(run);
    if (!why.empty())
      printf("=== seed %lld: %s\n%s\n", seed, why.c_str(), ++failed <= 3 ? c.script.c_str() : "");
  }
  munmap(back, sizeof(Handback));
  return failed;
}

class Campaign : public ::testing::TestWithParam<int> {};

TEST_P(Campaign, GeneratedScriptsKeepTheFlashPromises) {
  long long first = kFirstSeed, count = kParts * kSeedsPerPart;
  if (const char* env = getenv("FWAPPLY_CAMPAIGN_SEEDS")) {
    ASSERT_EQ(2, sscanf(env, "%lld:%lld", &first, &count)) << "FWAPPLY_CAMPAIGN_SEEDS=FIRST:COUNT";
  }
  const long long part = (count + kParts - 1) / kParts;
  const long long from = first + part * GetParam();
  const long long n = std::max(0LL, std::min(part, first + count - from));
  testutil::ChildResult r = testutil::RunChild([&]() -> int { return RunSeeds(from, n); });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Seeds, Campaign, ::testing::Range(0, kParts));

}  // namespace
