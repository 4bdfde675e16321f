// Update scripts on a small simulated board: the write budget and a whole run. The input is
// the script up to its first NUL byte; what follows is the board's version file "version",
// so "chkver version 1.0" reaches both.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "UpgradeScript.h"
#include "sim_kernel.h"

// The flash writer ends the process on fatal errors (bad start address, failed program). The
// fuzz target is linked with --wrap=exit: an exit during a run unwinds back here instead.
struct ExitCalled {
  int status;
};
static bool g_in_run = false;

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (g_in_run) throw ExitCalled{status};
  __real_exit(status);
}

// Linked with --wrap for Logger::write: the event is dropped instead of waiting a second for a
// system-log service that is not there.
extern "C" int __wrap__ZN6Logger5writeEPKc(const char* note) { return note ? 0 : 0; }

namespace {

const uint32_t kEb = 0x20000;

void Put(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) abort();
  if (!data.empty() && fwrite(data.data(), 1, data.size(), f) != data.size()) abort();
  if (fclose(f) != 0) abort();
}

const char* const kFiles[] = {"page.bin", "block.bin", "odd.bin",  "oob.bin",
                              "empty.bin", "fwupdate", "version", "result.txt"};
std::string g_dir;

void RemoveDir() {
  for (const char* f : kFiles) unlink((g_dir + "/" + f).c_str());
  rmdir(g_dir.c_str());
}

const std::string& Dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/fuzz_script.XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    std::string d(tmpl);
    g_dir = d;
    // Package files the scripts may name: a page, a block and a bit, all not blank.
    Put(d + "/page.bin", std::string(2048, 'P'));
    Put(d + "/block.bin", std::string(kEb, 'B'));
    Put(d + "/odd.bin", std::string(3001, 'O'));
    Put(d + "/oob.bin", std::string(4 * (2048 + 64), 'Q'));
    Put(d + "/empty.bin", std::string());
    atexit(RemoveDir);
    return d;
  }();
  return dir;
}

// Names of real devices and kernel files: a script must not read from the host's.
bool Harmless(const std::string& s) {
  return s.find("/dev") == std::string::npos && s.find("/proc") == std::string::npos &&
         s.find("/sys") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string text = input.substr(0, nul);
  const std::string version = nul == std::string::npos ? std::string("v1.2r3 build\n")
                                                        : input.substr(nul + 1);
  if (!Harmless(text)) return 0;
  const std::string& dir = Dir();
  Put(dir + "/fwupdate", text);
  Put(dir + "/version", version);

  // One chip for every run, blanked again: a fresh 8 MiB chip per run cost most of the time.
  static sim::Chip& chip = [] () -> sim::Chip& {
    sim::Geometry g;
    g.size = 64ull * kEb;
    sim::Chip* c = new sim::Chip(g);
    c->mark_bad(60);
    return *c;
  }();
  chip.fill(0, chip.geometry().size, 0xFF);
  memset(chip.oob(0), 0xFF, chip.page_count() * chip.geometry().oob_size);
  chip.ecc_corrected = chip.ecc_failed = 0;
  chip.erased_blocks.clear();
  sim::Kernel kernel;
  kernel.add_mtd(0, &chip, "nand0");
  kernel.add_mtd(1, &chip, "u-boot", 0, 4 * kEb);
  kernel.add_mtd(2, &chip, "kernel", 4 * kEb, 16 * kEb);
  kernel.add_mtd(3, &chip, "u-boot-env", 20 * kEb, kEb);
  kernel.add_mtd(4, &chip, "rootfs", 21 * kEb, 43 * kEb);

  UpgradeScript script;
  script.m_sScriptDir = dir;
  if (script.LoadFile("fwupdate") != 0) abort();
  if (script.m_sScript != text) abort();
  const int blocks = script.GetBlockNumToWrite();
  if (text.empty() ? blocks != -1 : blocks < 0) abort();
  // chkver names its file relative to the working directory; libFuzzer needs its own back.
  const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cwd < 0 || chdir(dir.c_str()) != 0) abort();
  g_in_run = true;
  try {
    const int rc = script.Run();
    if (rc != 0 && rc != -1) abort();
  } catch (const ExitCalled&) {
  }
  g_in_run = false;
  if (fchdir(cwd) != 0) abort();
  close(cwd);
  fflush(stdout);
  return 0;
}
