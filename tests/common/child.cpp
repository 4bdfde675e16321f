#include "child.h"

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
    close(in[0]); close(in[1]); close(out[0]); close(out[1]); close(err[0]); close(err[1]);
    int rc = fn();
    fflush(nullptr);
    _exit(rc & 0xff);
  }
  close(in[0]); close(out[1]); close(err[1]);
  // Feed stdin in full first; tests keep inputs within the pipe's capacity or read concurrently.
  size_t off = 0;
  bool in_open = true;
  if (input.empty()) { close(in[1]); in_open = false; }
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open || in_open) {
    struct pollfd p[3];
    int n = 0;
    int io = -1, ie = -1, ii = -1;
    if (out_open) { p[n] = {out[0], POLLIN, 0}; io = n++; }
    if (err_open) { p[n] = {err[0], POLLIN, 0}; ie = n++; }
    if (in_open) { p[n] = {in[1], POLLOUT, 0}; ii = n++; }
    if (poll(p, n, -1) < 0) break;
    if (io >= 0 && (p[io].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t k = read(out[0], buf, sizeof buf);
      if (k <= 0) { out_open = false; close(out[0]); } else r.out.append(buf, k);
    }
    if (ie >= 0 && (p[ie].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t k = read(err[0], buf, sizeof buf);
      if (k <= 0) { err_open = false; close(err[0]); } else r.err.append(buf, k);
    }
    if (ii >= 0 && (p[ii].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t k = write(in[1], input.data() + off, input.size() - off);
      if (k <= 0) { in_open = false; close(in[1]); }
      else { off += k; if (off == input.size()) { in_open = false; close(in[1]); } }
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
