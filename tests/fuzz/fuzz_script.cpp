// Update scripts on a small simulated chip, each run judged by the flash oracle; a run that
// breaks a promise of the updater aborts with the oracle's report.
// Input: an optional header "\xFA" STATE FAULT BLOCK PAGE choosing the chip's contents and one
// injected fault, then the script up to its first NUL byte; what follows the NUL is the file
// "version". Without the header the 16-block chip is blank with a bad block at 0xC0000 and a
// boot environment at 0x140000, and nothing fails.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "UpgradeScript.h"
#include "board.h"
#include "flash_oracle.h"
#include "sim_kernel.h"
#include "tool_report.h"

namespace {

const uint32_t kEb = 0x20000, kPage = 2048, kPpb = kEb / kPage, kBlocks = 16, kEnvBlock = 10;
std::string g_dir;  // the package directory, the board's working directory

void MakeDir() {
  // In memory: runs rewrite files here, which a disk file system would flush on close.
  std::string root =
      std::filesystem::is_directory("/dev/shm") ? "/dev/shm/fuzz_script.XXXXXX" : "/tmp/fuzz_script.XXXXXX";
  if (!mkdtemp(&root[0])) abort();
  static std::string keep = root;
  atexit([] { std::filesystem::remove_all(keep); });
  g_dir = (new testboard::Places(root))->work;  // no system-log service: chkver waits for nobody
  const char* names[] = {"page.bin", "block.bin", "odd.bin", "oob.bin", "rec.bin", "big.bin", "empty.bin"};
  const size_t sizes[] = {kPage, kEb, 3001, 4 * (kPage + 64), 3 * (kPage + 32), 3 * kEb + 1, 0};
  for (unsigned i = 0; i < 7; ++i)
    testutil::WriteAll(g_dir + "/" + names[i], testboard::Pattern(sizes[i], i + 1));
  mkdir((g_dir + "/sub").c_str(), 0755);
  mkfifo((g_dir + "/fifo").c_str(), 0644);
  if (symlink("page.bin", (g_dir + "/link").c_str()) != 0) abort();
}

// Standard output or error of one run, in a memory file.
struct Capture {
  const int fd, to;
  int saved = -1;
  explicit Capture(int to) : fd(memfd_create("out", 0)), to(to) {}
  void Begin() {
    if (ftruncate(fd, 0) != 0) abort();
    saved = dup(to), dup2(fd, to);
  }
  std::string End() {
    dup2(saved, to), close(saved);
    return testutil::ReadAll("/proc/self/fd/" + std::to_string(fd));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const size_t head = size >= 5 && data[0] == 0xFA ? 5 : 0;
  const uint8_t state = head ? data[1] : 0, fault = head ? data[2] : 0;
  const uint32_t block = head ? data[3] % kBlocks : 0, page = head ? data[4] % kPpb : 0;
  const std::string input(reinterpret_cast<const char*>(data) + head, size - head);
  const size_t nul = input.find('\0');
  const std::string text = input.substr(0, nul);
  // Real devices and kernel files are not read from the host; files the run itself rewrites are
  // no package image the oracle knows.
  for (const char* bad : {"/dev", "/proc", "/sys", "result", "tmp.yaffs"})
    if (text.find(bad) != std::string::npos) return 0;
  if (g_dir.empty()) MakeDir();
  testutil::WriteAll(g_dir + "/version",
                     nul == std::string::npos ? std::string("v1.2r3 build\n") : input.substr(nul + 1));
  unlink((g_dir + "/result.txt").c_str());

  static oracle::RunRecord run;
  static sim::Chip* chip = nullptr;
  static sim::Kernel* kernel = nullptr;  // kept: its sysfs tree is made once
  if (!chip) {
    chip = new sim::Chip(sim::Geometry{kPage, 64, kEb, 0, static_cast<uint64_t>(kBlocks) * kEb});
    kernel = new sim::Kernel;
    oracle::Board(*kernel, *chip);
    run.proc_mtd = kernel->proc_mtd();
    chip->strict = false;  // the oracle reports it, with the run
  }
  oracle::Arm(*kernel, *chip, run.faults, false);  // the last run's
  kernel->clear_calls();
  chip->erased_blocks.clear();
  chip->ecc_corrected = chip->ecc_failed = 0;
  // STATE: bits 0-1 the environment at 0x140000 (good, damaged, blank, good beside random
  // blocks), bit 2 one more bad block at BLOCK, bit 3 random blocks 2..5.
  static const std::string env = oracle::EnvBlock({"bootdelay=3", "image=1", "bootcmd=run slot"});
  static const std::string random =
      testboard::Pattern(kEb + 6 * kPage + kPpb * 64, 9);  // a different slice per block
  chip->fill(0, chip->geometry().size, 0xFF);
  memset(chip->oob(0), 0xFF, chip->page_count() * 64);
  for (uint32_t b = 0; b < kBlocks; ++b)
    b == 6 || ((state & 4) && b == block) ? chip->mark_bad(b) : chip->clear_bad(b);
  uint8_t* env_at = chip->data(static_cast<uint64_t>(kEnvBlock) * kEb);
  if ((state & 3) != 2) memcpy(env_at, env.data(), env.size());
  if ((state & 3) == 1) env_at[100] ^= 1;
  for (uint32_t b = 2; b < 6 && ((state & 3) == 3 || (state & 8)); ++b) {
    memcpy(chip->data(static_cast<uint64_t>(b) * kEb), &random[b * kPage], kEb);
    memcpy(chip->oob(static_cast<uint64_t>(b) * kPpb), &random[kEb + 6 * kPage], kPpb * 64);
  }
  oracle::Capture(*chip, &run.before);
  // FAULT % 9, at BLOCK and PAGE: 1-3 a page program (EIO once, always; EROFS once), 4-5 an
  // erase (once, always), 6-7 the bad-block query (EIO 1..4 times, EOPNOTSUPP always), 8
  // bitflips; 0 none.
  run.faults = oracle::Faults();
  const uint64_t at = static_cast<uint64_t>(block) * kPpb + page;
  const int kind = fault % 9;
  if (kind >= 1 && kind <= 3) run.faults.program.push_back({at, kind == 3 ? EROFS : EIO, kind == 2 ? -1 : 1});
  if (kind == 4 || kind == 5) run.faults.erase.push_back({block, EIO, kind == 5 ? -1 : 1});
  if (kind == 6 || kind == 7) run.faults.bbquery_err = kind == 6 ? EIO : EOPNOTSUPP;
  if (kind == 6 || kind == 7) run.faults.bbquery_times = kind == 6 ? 1 + page % 4 : -1;
  if (kind == 8) run.faults.flips.push_back(at);
  oracle::Arm(*kernel, *chip, run.faults);

  // The script handed over as loaded; chkver names its file relative to the working directory.
  UpgradeScript script;
  script.m_sScriptDir = g_dir;
  script.m_sScript = text;
  const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cwd < 0 || chdir(g_dir.c_str()) != 0) abort();
  static Capture out(1), err(2);
  fflush(nullptr);
  out.Begin(), err.Begin();
  const int blocks = script.GetBlockNumToWrite();
  run.status = 0;
  // The flash writer and reader end the process on fatal errors: their exit hook unwinds back
  // here instead, carrying the status.
  tool_set_exit_hook([](int status) { throw status; });
  try {
    if (const int rc = script.Run(); rc != 0 && rc != -1) abort();
  } catch (int status) {
    run.status = status & 0xFF;
  }
  tool_set_exit_hook(nullptr);
  fflush(nullptr);
  run.out = out.End(), run.err = err.End();
  if (fchdir(cwd) != 0 || (text.empty() ? blocks != -1 : blocks < 0)) abort();
  close(cwd);
  const uint64_t violations_before = run.before.violations;
  oracle::Capture(*chip, &run.after);
  run.after.violations -= violations_before;
  run.script = text;
  run.dir = run.cwd = g_dir;
  const std::string why = oracle::Check(run);
  if (!why.empty()) {
    fprintf(stderr, "flash oracle: %s\n--- script:\n%s\n", why.c_str(), text.c_str());
    abort();
  }
  return 0;
}
