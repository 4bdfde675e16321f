#include "SimBoard.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <mtd/mtd-user.h>

#include "Board.h"
#include "Driver.h"
#include "UCrc32.h"
#include "sim_kernel.h"
#include "tool_report.h"

namespace {

bool AllFF(const uint8_t* p, uint64_t n) {
  static const std::vector<uint8_t> ff(0x20000, 0xFF);
  for (uint64_t done = 0; done < n;) {
    const uint64_t take = std::min<uint64_t>(n - done, ff.size());
    if (memcmp(p + done, ff.data(), take) != 0) return false;
    done += take;
  }
  return true;
}

bool BlockUnreadable(const sim::Chip& chip, uint64_t at, uint64_t len) {
  const uint64_t page = chip.geometry().page_size;
  for (uint64_t p = at / page; p < (at + len + page - 1) / page; ++p)
    if (chip.page_unreadable(p)) return true;
  return false;
}

std::string ReadFile(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return text;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  fclose(f);
  return text;
}

bool WriteFile(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

// Erases and page programs of the chip as the kernel's record shows them, one address each, in
// the order the chip counts them, so that a cut point names the flash it interrupted.
std::vector<uint64_t> OpAddresses(const sim::Kernel& kernel, const sim::Chip& chip) {
  std::vector<uint64_t> ops;
  const uint64_t page = chip.geometry().page_size, eb = chip.geometry().eb_size;
  for (const sim::Call& c : kernel.calls()) {
    if (!c.simulated || c.path != "/dev/mtd0") continue;
    const bool erase = c.op == "ioctl" && (c.request == MEMERASE || c.request == MEMERASE64);
    const bool oob = c.op == "ioctl" && (c.request == MEMWRITEOOB || c.request == MEMWRITEOOB64);
    const bool program = (c.op == "ioctl" && c.request == MEMWRITE) || c.op == "write";
    const uint64_t step = erase ? eb : page;
    if (oob || (program && c.length == 0)) ops.push_back(c.offset);
    if (!erase && !program) continue;
    for (uint64_t at = c.offset; at < c.offset + c.length; at += step) ops.push_back(at - at % step);
  }
  return ops;
}

struct Child {
  sim::Chip* chip;
  sim::Kernel* kernel;
  const SimAfter* after;
  std::string result_path;
  bool record_ops;
};
Child* g_child = nullptr;

[[noreturn]] void Finish(int status) {
  fflush(stdout);
  fflush(stderr);
  Child& c = *g_child;
  std::string result;
  if (c.record_ops) {
    for (uint64_t at : OpAddresses(*c.kernel, *c.chip)) result += std::to_string(at) + "\n";
    result += "\n";
  }
  c.chip->revive();
  if (*c.after) result += (*c.after)(*c.chip, status);
  _exit(WriteFile(c.result_path, result) ? (status & 0xFF) : 70);
}

void ExitHook(int status) { Finish(status); }

[[noreturn]] void RunChild(const SimOptions& options, sim::Chip& chip, const std::string& dir,
                           const std::string& scratch, long long cut, Child* child) {
  const std::string out = scratch + "/out", err = scratch + "/err", lock = scratch + "/fwapply.lock";
  const std::string user = scratch + "/user", sender = scratch + "/sender";
  if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(71);
  sim::Kernel kernel;
  kernel.add_mtd(0, &chip, "NAND simulator partition 0", 0, options.chip_size);
  kernel.add_block("/dev/mtdblock4", &chip, kSimEnvAt, kSimEnvSize);
  kernel.set_file("/etc/version", options.version + "\n");
  BoardPlaces places = board_default();
  places.work_dir = dir.c_str();
  places.run_lock = lock.c_str();
  places.user_mount = user.c_str();
  places.user_link = user.c_str();
  places.log_local = sender.c_str();
  places.log_service = nullptr;
  board_install(&places);
  child->kernel = &kernel;
  g_child = child;
  tool_set_exit_hook(ExitHook);
  if (cut >= 0) chip.cut_after(static_cast<uint64_t>(cut));
  Finish(RunSlotScript() == 0 ? 0 : 255);
}

}  // namespace

sim::Geometry SimGeometry(const SimOptions& options) {
  sim::Geometry g;
  g.page_size = options.page_size;
  g.oob_size = options.oob_size;
  g.eb_size = options.page_size * 64;  // nandsim's chips: 64 pages an eraseblock
  g.size = options.backing ? options.backing : options.chip_size;
  return g;
}

uint64_t SimBacking(const SimOptions& options, uint64_t end) {
  const uint64_t eb = SimGeometry(options).eb_size;
  end = std::max(end, kSimEnvAt + kSimEnvSize);
  for (uint64_t b : options.bad_blocks) end = std::max(end, (b + 1) * eb);
  for (const auto& p : options.fail_pages) end = std::max(end, (p.first + 1) * options.page_size);
  for (const auto& b : options.fail_erase) end = std::max(end, (b.first + 1) * eb);
  uint64_t backing = 4ull << 20;
  while (backing < end && backing < options.chip_size) backing *= 2;
  return std::min(backing, options.chip_size);
}

std::string SimEnvBlock(const std::string& text) {
  std::string data;
  size_t pos = 0;
  while ((pos = text.find_first_not_of(" \t\n", pos)) != std::string::npos) {
    const size_t end = text.find_first_of(" \t\n", pos);
    data += text.substr(pos, end - pos) + '\0';
    pos = end;
  }
  data.resize(kSimEnvSize - 4, '\0');
  const unsigned crc = crc32(0, reinterpret_cast<const unsigned char*>(data.data()), kSimEnvSize - 4);
  std::string block(4, '\0');
  for (int i = 0; i < 4; ++i) block[i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  return block + data;
}

void SimPrepare(const SimOptions& options, sim::Chip* chip) {
  const std::string env = SimEnvBlock(options.env);
  chip->program(kSimEnvAt, reinterpret_cast<const uint8_t*>(env.data()), env.size());
  for (uint64_t eb : options.bad_blocks) chip->mark_bad(static_cast<uint32_t>(eb));
  // A count of 0 fails at once; one run programs or erases a place about once, so a later
  // failure never comes within it.
  for (const auto& p : options.fail_pages)
    if (p.second == 0) chip->fail_program(p.first, EIO, -1);
  for (const auto& b : options.fail_erase)
    if (b.second == 0) chip->fail_erase(static_cast<uint32_t>(b.first), EIO, -1);
  if (options.bitflips == 0) return;
  for (uint64_t p = 0; p < chip->page_count(); ++p) chip->bitflips(p, options.bitflips, 0);
}

std::string SimMapText(const sim::Chip& chip, uint64_t chip_size) {
  const sim::Geometry& g = chip.geometry();
  const uint32_t blocks = static_cast<uint32_t>(chip_size / g.eb_size);
  std::string map;
  unsigned written = 0, bad = 0;
  sim::Chip& raw = const_cast<sim::Chip&>(chip);  // data() is raw access that changes nothing
  for (uint32_t b = 0; b < blocks; ++b) {
    if (b % 64 == 0) {
      char head[32];
      snprintf(head, sizeof head, "%s0x%08llx ", b ? "\n" : "",
               static_cast<unsigned long long>(b) * g.eb_size);
      map += head;
    }
    const uint64_t at = static_cast<uint64_t>(b) * g.eb_size;
    char c = '.';
    if (b >= chip.block_count())
      c = '.';
    else if (chip.is_bad(b))
      c = 'B';
    else if (BlockUnreadable(chip, at, g.eb_size))
      c = '?';
    else if (!AllFF(raw.data(at), g.eb_size))
      c = 'W';
    bad += c == 'B';
    written += c == 'W';
    map += c;
  }
  char tail[96];
  snprintf(tail, sizeof tail, "\nwritten blocks: %u, bad blocks: %u\n", written, bad);
  char head[160];
  snprintf(head, sizeof head, "/dev/mtd0: %u eraseblocks of 0x%x bytes, pages of %u, OOB %u\n", blocks,
           g.eb_size, g.page_size, g.oob_size);
  return head + std::string("'.' erased  'W' holds data  'B' bad  '?' unreadable\n") + map + tail;
}

std::string SimEnvText(const sim::Chip& chip) {
  char line[96];
  if (BlockUnreadable(chip, kSimEnvAt, kSimEnvSize)) {
    snprintf(line, sizeof line, "environment at 0x%llx: unreadable\n",
             static_cast<unsigned long long>(kSimEnvAt));
    return line;
  }
  const uint8_t* block = const_cast<sim::Chip&>(chip).data(kSimEnvAt);
  const unsigned stored = block[0] | block[1] << 8 | block[2] << 16 | static_cast<unsigned>(block[3]) << 24;
  const unsigned computed = crc32(0, block + 4, kSimEnvSize - 4);
  if (stored == computed)
    snprintf(line, sizeof line, "crc ok 0x%08x\n", stored);
  else
    snprintf(line, sizeof line, "crc BAD stored 0x%08x computed 0x%08x\n", stored, computed);
  std::string text = line;
  for (size_t p = 4; p < kSimEnvSize && block[p] != 0;) {
    const void* nul = memchr(block + p, 0, kSimEnvSize - p);
    if (!nul) return text + "(unterminated entry)\n";
    const size_t e = static_cast<size_t>(static_cast<const uint8_t*>(nul) - block);
    text += std::string(reinterpret_cast<const char*>(block + p), e - p) + "\n";
    p = e + 1;
  }
  return text;
}

SimPending SimStart(const SimOptions& options, sim::Chip& chip, const std::string& dir,
                    const std::string& scratch, long long cut, const SimAfter& after, bool record_ops) {
  Child child = {&chip, nullptr, &after, scratch + "/result", record_ops};
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) RunChild(options, chip, dir, scratch, cut, &child);
  return {pid, scratch, record_ops};
}

SimRun SimWait(const SimPending& pending) {
  SimRun run;
  int wstatus = 0;
  if (pending.pid < 0 || waitpid(pending.pid, &wstatus, 0) != pending.pid) return run;
  run.out = ReadFile(pending.scratch + "/out");
  run.err = ReadFile(pending.scratch + "/err");
  if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) != 70 && WEXITSTATUS(wstatus) != 71)
    run.status = WEXITSTATUS(wstatus);
  run.result = ReadFile(pending.scratch + "/result");
  unlink((pending.scratch + "/result").c_str());
  if (!pending.record_ops) return run;
  size_t pos = 0;
  for (size_t end; (end = run.result.find('\n', pos)) != std::string::npos && end > pos; pos = end + 1)
    run.op_addresses.push_back(strtoull(run.result.c_str() + pos, nullptr, 10));
  run.result.erase(0, pos + 1);
  return run;
}

SimRun SimRunOnce(const SimOptions& options, sim::Chip& chip, const std::string& dir,
                  const std::string& scratch, long long cut, const SimAfter& after, bool record_ops) {
  return SimWait(SimStart(options, chip, dir, scratch, cut, after, record_ops));
}
