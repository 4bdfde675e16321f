// Test helpers: code in a child process with its output captured; temporary directories.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testutil {

struct ChildResult {
  int status = -1;  // exit status (0..255), or -1 when the child did not exit normally
  int signal = 0;   // terminating signal, if any
  std::string out, err;
};

// fn in a forked child that exits with its result, fed input on stdin, stdout and stderr captured.
ChildResult RunChild(const std::function<int()>& fn, const std::string& input = std::string());

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A program of the build, opened (close-on-exec) from the path in environment variable env or
// else at rel from this test's own directory; opened before a private /tmp may hide the build.
int OpenBuilt(const char* env, const std::string& rel);
// Starts the opened program exe with args (argv[0] first), its stdout on out when out >= 0; a
// foreign binary goes to qemu-arm where the kernel cannot run it. The child exits 127 when
// neither starts it.
pid_t Spawn(int exe, const std::vector<std::string>& args, int out = -1);
// Exit status of pid once it ended, 128 + signal when killed.
int Wait(pid_t pid);

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& data);

}  // namespace testutil
