// Test helpers: run code in a child process and capture its standard output, standard error
// and exit status; make temporary directories.
#pragma once

#include <functional>
#include <string>

namespace testutil {

struct ChildResult {
  int status = -1;      // exit status (0..255), or -1 when the child did not exit normally
  int signal = 0;       // terminating signal, if any
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error
};

// Runs fn in a forked child whose stdout and stderr are captured; the child exits with fn's
// result when fn returns. stdin is /dev/null unless input is given.
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

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& data);

}  // namespace testutil
