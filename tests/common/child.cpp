#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace testutil {

ChildResult RunChild(const std::function<int()>& fn, const std::string& input) {
  ChildResult r;
  // Files, not pipes: nothing has to be drained while the child runs, whatever it writes.
  const int in = memfd_create("in", MFD_CLOEXEC), out = memfd_create("out", MFD_CLOEXEC),
            err = memfd_create("err", MFD_CLOEXEC);
  const ssize_t n = static_cast<ssize_t>(input.size());
  fflush(nullptr);
  const pid_t pid =
      in < 0 || out < 0 || err < 0 || pwrite(in, input.data(), input.size(), 0) != n ? -1 : fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    const int rc = fn();
    fflush(nullptr);
    _exit(rc & 0xff);
  }
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid) {
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    r.out = ReadAll("/proc/self/fd/" + std::to_string(out));
    r.err = ReadAll("/proc/self/fd/" + std::to_string(err));
  }
  for (int fd : {in, out, err})
    if (fd >= 0) close(fd);
  return r;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fwtest.XXXXXX";
  path_ = mkdtemp(&tmpl[0]) ? tmpl : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

int OpenBuilt(const char* env, const std::string& rel) {
  const char* given = env ? getenv(env) : nullptr;
  if (given && *given) return open(given, O_RDONLY | O_CLOEXEC);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  const std::string path(self, static_cast<size_t>(n));
  return open((path.substr(0, path.rfind('/') + 1) + rel).c_str(), O_RDONLY | O_CLOEXEC);
}

pid_t Spawn(int exe, const std::vector<std::string>& args, int out) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (out >= 0) dup2(out, 1);
  const int keep = dup(exe);  // fexecve of a close-on-exec descriptor would lose a script it names
  auto argv = [](std::vector<std::string> v) {
    std::vector<char*> p;
    for (std::string& a : v) p.push_back(strdup(a.c_str()));
    p.push_back(nullptr);
    return p;
  };
  fexecve(keep, argv(args).data(), environ);
  if (errno != ENOEXEC) _exit(127);
  // Under user-mode emulation without binfmt_misc: hand the ARM binary to the emulator.
  std::vector<std::string> q = {"qemu-arm", "-L", "/usr/arm-linux-gnueabihf",
                                "/proc/self/fd/" + std::to_string(keep)};
  q.insert(q.end(), args.begin() + (args.empty() ? 0 : 1), args.end());
  execvp(q[0].c_str(), argv(q).data());
  _exit(127);
}

int Wait(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

}  // namespace testutil
