// Update scripts on a small simulated chip, each run judged by the flash oracle; a run that
// breaks a promise of the updater aborts with the oracle's report.
// Input: an optional header "\xFA" STATE FAULT BLOCK PAGE choosing the chip's contents and one
// injected fault, then the script up to its first NUL byte; what follows the NUL is the file
// "version". Without the header the 16-block chip is blank with a bad block at 0xC0000 and a
// boot environment at 0x140000, and nothing fails.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Board.h"
#include "UpgradeScript.h"
#include "board.h"
#include "flash_oracle.h"
#include "sim_kernel.h"
#include "tool_report.h"

// The flash writer and reader end the process on fatal errors: during a run, their exit hook
// unwinds back here instead, carrying the status (nothing else throws an int).
[[noreturn]] static void ThrowExit(int status) { throw status; }

namespace {

const uint32_t kEb = 0x20000, kPage = 2048, kOob = 64, kPpb = kEb / kPage, kBlocks = 16;
const uint32_t kEnvBlock = 10, kBadBlock = 6;
// Package files: plain images, with-OOB records (whole and not), names that are no regular file.
const std::pair<const char*, size_t> kFiles[] = {{"page.bin", kPage},
                                                 {"block.bin", kEb},
                                                 {"odd.bin", 3001},
                                                 {"oob.bin", 4 * (kPage + kOob)},
                                                 {"rec.bin", 3 * (kPage + 32)},
                                                 {"big.bin", 3 * kEb + 1},
                                                 {"empty.bin", 0}};

// The package directory is the working directory; no log service: chkver waits for nobody.
std::string g_dir;
BoardPlaces g_places;

void MakeDir() {
  // Runs rewrite files in here (dupoob's copy, ifnpart's result). A disk file system flushes a
  // truncated file when it is closed; in memory the target runs a fifth more inputs a second.
  struct stat st;
  std::string tmpl = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
  tmpl += "/fuzz_script.XXXXXX";
  if (!mkdtemp(&tmpl[0])) abort();
  g_dir = tmpl;
  unsigned seed = 0;
  for (const auto& f : kFiles)
    testutil::WriteAll(g_dir + "/" + f.first, testboard::Pattern(f.second, ++seed));
  mkdir((g_dir + "/sub").c_str(), 0755);
  mkfifo((g_dir + "/fifo").c_str(), 0644);
  if (symlink("page.bin", (g_dir + "/link").c_str()) != 0) abort();
  atexit([] { std::filesystem::remove_all(g_dir); });
  g_places = board_default();
  g_places.work_dir = g_dir.c_str();
  g_places.log_service = nullptr;
  board_install(&g_places);
}

struct Output {
  int fd[2] = {memfd_create("out", 0), memfd_create("err", 0)};
  int saved[2] = {-1, -1};
  void Begin() {
    fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
      if (ftruncate(fd[i], 0) != 0 || lseek(fd[i], 0, SEEK_SET) != 0) abort();
      saved[i] = dup(1 + i), dup2(fd[i], 1 + i);
    }
  }
  void End(std::string* out, std::string* err) {
    fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
      dup2(saved[i], 1 + i);
      close(saved[i]);
      std::string& s = *(i ? err : out);
      s.resize(static_cast<size_t>(lseek(fd[i], 0, SEEK_END)));
      if (!s.empty() && pread(fd[i], &s[0], s.size(), 0) != static_cast<ssize_t>(s.size())) abort();
    }
  }
};

void CopyBlock(uint32_t b, const uint8_t* data, const uint8_t* oob, uint8_t* to_data, uint8_t* to_oob) {
  const size_t d = static_cast<size_t>(b) * kEb, o = static_cast<size_t>(b) * kPpb * kOob;
  memcpy(to_data + d, data + d, kEb);
  memcpy(to_oob + o, oob + o, kPpb * kOob);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Chip-sized buffers come and go with every input: kept in the heap, not faulted in anew.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const size_t head = size >= 5 && data[0] == 0xFA ? 5 : 0;
  const uint8_t state = head ? data[1] : 0, fault = head ? data[2] : 0;
  const uint8_t block = head ? data[3] % kBlocks : 0, page = head ? data[4] % kPpb : 0;
  const std::string input(reinterpret_cast<const char*>(data) + head, size - head);
  const size_t nul = input.find('\0');
  const std::string text = input.substr(0, nul);
  // Real devices and kernel files are not read from the host; files the run itself rewrites
  // (ifnpart's result, dupoob's copy) are no package image the oracle can know.
  for (const char* bad : {"/dev", "/proc", "/sys", "result", "tmp.yaffs"})
    if (text.find(bad) != std::string::npos) return 0;
  if (g_dir.empty()) MakeDir();
  testutil::WriteAll(g_dir + "/version",
                     nul == std::string::npos ? std::string("v1.2r3 build\n") : input.substr(nul + 1));
  unlink((g_dir + "/result.txt").c_str());

  // One chip for every input, restored from the state its header asks for: the blocks the last
  // run changed are copied back, the whole state made again only when the header changes it.
  static oracle::RunRecord run;
  static sim::Chip* chip = nullptr;
  static sim::Kernel* kernel = nullptr;  // kept: its sysfs tree is made once, not every run
  static int made = -1;
  static std::vector<uint8_t> dirty(kBlocks, 0);  // blocks the last run changed
  const int config = (state & 15) | ((state & 4) ? block << 4 : 0);
  if (!chip) {
    chip = new sim::Chip(sim::Geometry{kPage, kOob, kEb, 0, static_cast<uint64_t>(kBlocks) * kEb});
    kernel = new sim::Kernel;
    oracle::Board(*kernel, *chip);
    run.proc_mtd = kernel->proc_mtd();
    chip->strict = false;  // the oracle reports it, with the run
  }
  for (uint32_t b = 0; b < kBlocks; ++b) {
    if (b == kBadBlock || ((state & 4) && b == block)) {
      chip->mark_bad(b);
    } else if (chip->is_bad(b)) {
      chip->clear_bad(b);  // marked by the last run, or by its header
      dirty[b] = 1;
    }
  }
  oracle::Arm(*kernel, *chip, run.faults, false);  // the last run's
  kernel->clear_calls();
  chip->ecc_corrected = chip->ecc_failed = 0;
  chip->erased_blocks.clear();
  const uint64_t violations_before = chip->violations();
  if (config != made) {
    // STATE: bits 0-1 the environment at 0x140000 (good, damaged, blank, good beside random
    // blocks), bit 2 one more bad block at BLOCK, bit 3 random blocks 2..5.
    static const std::string env = oracle::EnvBlock({"bootdelay=3", "image=1", "bootcmd=run slot"});
    static const std::string random =
        testboard::Pattern(kEb + 6 * kPage + kPpb * kOob, 9);  // a different slice per block
    chip->fill(0, chip->geometry().size, 0xFF);
    memset(chip->oob(0), 0xFF, chip->page_count() * kOob);
    uint8_t* env_at = chip->data(static_cast<uint64_t>(kEnvBlock) * kEb);
    if ((state & 3) != 2) memcpy(env_at, env.data(), env.size());
    if ((state & 3) == 1) env_at[100] ^= 1;
    for (uint32_t b = 2; b < 6 && ((state & 3) == 3 || (state & 8)); ++b) {
      memcpy(chip->data(static_cast<uint64_t>(b) * kEb), &random[b * kPage], kEb);
      memcpy(chip->oob(static_cast<uint64_t>(b) * kPpb), &random[kEb + 6 * kPage], kPpb * kOob);
    }
    oracle::Capture(*chip, &run.before);
    run.before.violations = 0;
    run.after = run.before;
    made = config;
  } else {
    for (uint32_t b = 0; b < kBlocks; ++b)
      if (dirty[b]) {
        CopyBlock(b, run.before.data.data(), run.before.oob.data(), chip->data(0), chip->oob(0));
        CopyBlock(b, run.before.data.data(), run.before.oob.data(), run.after.data.data(),
                  run.after.oob.data());
      }
  }
  run.faults = oracle::Faults();
  const uint64_t at = static_cast<uint64_t>(block) * kPpb + page;
  // 1-3 a page program (EIO once, always; EROFS once), 4-5 an erase (once, always), 6-7 the
  // bad-block query (EIO 1..4 times, EOPNOTSUPP always), 8 bitflips; 0 none.
  const int kind = fault % 9;
  if (kind >= 1 && kind <= 3) run.faults.program.push_back({at, kind == 3 ? EROFS : EIO, kind == 2 ? -1 : 1});
  if (kind == 4 || kind == 5) run.faults.erase.push_back({block, EIO, kind == 5 ? -1 : 1});
  if (kind == 6 || kind == 7) {
    run.faults.bbquery_err = kind == 6 ? EIO : EOPNOTSUPP;
    run.faults.bbquery_times = kind == 6 ? 1 + page % 4 : -1;
  }
  if (kind == 8) run.faults.flips.push_back(at);
  oracle::Arm(*kernel, *chip, run.faults);

  // The script handed over as loaded: the file reader would cost a megabyte's buffer a run.
  UpgradeScript script;
  script.m_sScriptDir = g_dir;
  script.m_sScript = text;
  // chkver names its file relative to the working directory; libFuzzer needs its own back.
  const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cwd < 0 || chdir(g_dir.c_str()) != 0) abort();
  static Output output;
  output.Begin();
  const int blocks = script.GetBlockNumToWrite();
  run.status = 0;
  tool_set_exit_hook(ThrowExit);
  try {
    const int rc = script.Run();
    if (rc != 0 && rc != -1) abort();
  } catch (int status) {
    run.status = status & 0xFF;
  }
  tool_set_exit_hook(nullptr);
  output.End(&run.out, &run.err);
  if (fchdir(cwd) != 0) abort();
  close(cwd);
  if (text.empty() ? blocks != -1 : blocks < 0) abort();

  // Only blocks the simulated kernel was asked to change can differ from before: the others
  // are neither copied nor compared (the oracle still checks that they may keep their bytes).
  dirty.assign(kBlocks, 0);
  for (const sim::Call& c : kernel->calls()) {
    if (!c.simulated || (c.op != "write" && c.op != "ioctl")) continue;
    if (c.path != "/dev/mtd0") {
      dirty.assign(kBlocks, 1);
      break;
    }
    for (uint64_t a = c.offset / kEb; a <= (c.offset + (c.length ? c.length - 1 : 0)) / kEb && a < kBlocks;
         ++a)
      dirty[a] = 1;
  }
  for (uint32_t b = 0; b < kBlocks; ++b) {
    if (dirty[b]) CopyBlock(b, chip->data(0), chip->oob(0), run.after.data.data(), run.after.oob.data());
    run.after.bad[b] = chip->is_bad(b) ? 1 : 0;
  }
  run.after.violations = chip->violations() - violations_before;
  run.touched = dirty;
  run.script = text;
  run.dir = run.cwd = g_dir;
  const std::string why = oracle::Check(run);
  if (!why.empty()) {
    fprintf(stderr, "flash oracle: %s\n--- script:\n%s\n", why.c_str(), text.c_str());
    abort();
  }
  return 0;
}
