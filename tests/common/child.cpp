#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace testutil {

ChildResult RunChild(const std::function<int()>& fn, const std::string& input) {
  ChildResult r;
  int out[2], err[2], in[2];
  if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0) return r;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    int rc = fn();
    fflush(nullptr);
    _exit(rc & 0xff);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Feed stdin in full first; tests keep inputs within the pipe's capacity or read concurrently.
  size_t off = 0;
  bool in_open = true;
  if (input.empty()) {
    close(in[1]);
    in_open = false;
  }
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open || in_open) {
    struct pollfd p[3];
    int n = 0;
    int io = -1, ie = -1, ii = -1;
    if (out_open) {
      p[n] = {out[0], POLLIN, 0};
      io = n++;
    }
    if (err_open) {
      p[n] = {err[0], POLLIN, 0};
      ie = n++;
    }
    if (in_open) {
      p[n] = {in[1], POLLOUT, 0};
      ii = n++;
    }
    if (poll(p, n, -1) < 0) break;
    if (io >= 0 && (p[io].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t k = read(out[0], buf, sizeof buf);
      if (k <= 0) {
        out_open = false;
        close(out[0]);
      } else
        r.out.append(buf, k);
    }
    if (ie >= 0 && (p[ie].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t k = read(err[0], buf, sizeof buf);
      if (k <= 0) {
        err_open = false;
        close(err[0]);
      } else
        r.err.append(buf, k);
    }
    if (ii >= 0 && (p[ii].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t k = write(in[1], input.data() + off, input.size() - off);
      if (k <= 0) {
        in_open = false;
        close(in[1]);
      } else {
        off += k;
        if (off == input.size()) {
          in_open = false;
          close(in[1]);
        }
      }
    }
  }
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
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
