#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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
  char* p = mkdtemp(&tmpl[0]);
  path_ = p ? p : "";
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  pid_t pid = fork();
  if (pid == 0) {
    execlp("rm", "rm", "-rf", path_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int st;
  if (pid > 0) waitpid(pid, &st, 0);
}

int OpenBuilt(const char* env, const std::string& rel) {
  const char* given = env ? getenv(env) : nullptr;
  std::string path;
  if (given && *given) {
    path = given;
  } else {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    path.assign(self, static_cast<size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + rel;
  }
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

pid_t Spawn(int exe, const std::vector<std::string>& args, int out) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (out >= 0) dup2(out, 1);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int keep = dup(exe);  // fexecve of a close-on-exec descriptor would lose a script it names
  fexecve(keep, argv.data(), environ);
  if (errno == ENOEXEC) {
    // Under user-mode emulation without binfmt_misc: hand the ARM binary to the emulator.
    std::vector<std::string> q = {"qemu-arm", "-L", "/usr/arm-linux-gnueabihf",
                                  "/proc/self/fd/" + std::to_string(keep)};
    std::vector<char*> qv;
    for (const std::string& a : q) qv.push_back(const_cast<char*>(a.c_str()));
    for (size_t i = 1; i < args.size(); ++i) qv.push_back(const_cast<char*>(args[i].c_str()));
    qv.push_back(nullptr);
    execvp(qv[0], qv.data());
  }
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
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

}  // namespace testutil
