#include "board.h"

#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Driver.h"
#include "flash_oracle.h"
#include "tool_report.h"

namespace testboard {

sim::Geometry Geometry(uint32_t page, uint64_t size) {
  sim::Geometry g;  // the chip's own OOB and eraseblock sizes
  g.page_size = page, g.size = size;
  return g;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + i / 2048) & 0x7F);
  return s;
}

Places::Places(const std::string& r)
    : root(r),
      work(r + "/update"),
      lock(r + "/fwapply.lock"),
      user_mount(r + "/mnt/user"),
      user_link(r + "/user") {
  mkdir(work.c_str(), 0700);
  places_ = board_default();  // a field added to the table keeps the board's value
  places_.work_dir = work.c_str(), places_.run_lock = lock.c_str();
  places_.user_mount = user_mount.c_str(), places_.user_link = user_link.c_str();
  places_.log_service = nullptr;
  before_ = board_install(&places_);
}

void Board::program(uint64_t at, const std::string& data) {
  chip.program(at, reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

bool Board::env_is(uint64_t at, const std::vector<std::string>& entries) {
  return read(at, kEnvSize) == oracle::EnvBlock(entries, kEnvSize);
}

void Board::add_env(const std::vector<std::string>& entries) {
  program(kEnvAt, oracle::EnvBlock(entries, kEnvSize));
  kernel.add_block("/dev/mtdblock4", &chip, kEnvAt, kEnvSize);
}

namespace {
void Replace(std::string* s, const std::string& from, const std::string& to) {
  for (size_t p = s->find(from); p != std::string::npos; p = s->find(from, p + to.size()))
    s->replace(p, from.size(), to);
}

// fn in a child on a T made in a fresh private directory.
template <class T, class... A>
testutil::ChildResult In(const std::function<int(T&)>& fn, const A&... a) {
  testutil::TempDir dir;
  testutil::ChildResult r = testutil::RunChild([&] {
    T t(dir.path(), a...);
    const int rc = fn(t);
    fflush(nullptr);
    return rc;
  });
  for (std::string* s : {&r.out, &r.err}) Replace(s, dir.path(), "<board>");
  return r;
}
}  // namespace

testutil::ChildResult InPlaces(const std::function<int(Places&)>& fn) { return In(fn); }
testutil::ChildResult OnBoard(const std::function<int(Board&)>& fn, const sim::Geometry& g) {
  return In(fn, g);
}

int Apply(Board& b) {
  std::string arg1 = b.work;
  char arg0[] = "fwapply";
  char* argv[] = {arg0, &arg1[0], nullptr};
  const int rc = FwApplyMain(2, argv);
  fflush(stdout);
  return rc & 0xFF;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

namespace {
// What the child hands back, in memory shared with the parent.
struct Shared {
  uint64_t programs, violations, open_fds, n_erased, n_bad;
  uint32_t erased[4096], bad[4096];
};
Board* g_run = nullptr;
Shared* g_shared = nullptr;

void Take() {
  if (!g_run) return;
  const sim::Chip& c = g_run->chip;
  Shared& s = *g_shared;
  s = Shared{c.programs(), c.violations(), g_run->kernel.open_fds(), 0, 0, {}, {}};
  g_run = nullptr;
  for (uint32_t e : c.erased_blocks)
    if (s.n_erased < 4096) s.erased[s.n_erased++] = e;
  for (uint32_t e = 0; e < c.block_count(); e++)
    if (c.is_bad(e)) s.bad[s.n_bad++] = e;
}
}  // namespace

testutil::ChildResult RunOn(Board& b, const std::function<int()>& fn, Snapshot* snap,
                            const std::string& input) {
  void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) return testutil::ChildResult();
  const Shared& s = *(g_shared = static_cast<Shared*>(mem));
  testutil::ChildResult r = testutil::RunChild(
      [&]() {
        g_run = &b;
        tool_set_exit_hook([](int status) {
          fflush(nullptr);
          Take();
          _exit(status & 0xFF);
        });
        const int rc = fn();
        fflush(nullptr);
        Take();
        return rc;
      },
      input);
  if (snap)
    *snap = Snapshot{
        {s.erased, s.erased + s.n_erased}, {s.bad, s.bad + s.n_bad}, s.programs, s.violations, s.open_fds};
  munmap(mem, sizeof(Shared));
  return r;
}

std::string Told(int status, const std::string& out, const std::string& err) {
  return std::to_string(status) + "\nout: " + out + "\nerr: " + err;
}
std::string Told(const testutil::ChildResult& r) { return Told(r.status, r.out, r.err); }

std::string Outcome(const std::function<int()>& op) {
  const testutil::ChildResult c = testutil::RunChild([&] {
    const int ret = op();
    fflush(nullptr);
    return ret == -1 ? 128 + errno : ret;
  });
  return (c.status >= 128 ? "errno " + std::to_string(c.status - 128) : "ret " + std::to_string(c.status)) +
         "\nout: " + c.out + "\nerr: " + c.err;
}

std::string Failure(int err, const std::string& err_text, const std::string& out_text) {
  return "errno " + std::to_string(err) + "\nout: " + out_text + "\nerr: " + err_text;
}

std::string ErrLine(const std::string& tool, int err) {
  return std::string(tool.size() + 2, ' ') + "error " + std::to_string(err) + " (" + strerror(err) + ")\n";
}

}  // namespace testboard
