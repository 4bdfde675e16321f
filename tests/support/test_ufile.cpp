// File, text and process helpers. The unmount helper is proven by the staging tests, which need it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UFile.h"
#include "UProcess.h"
#include "child.h"

using namespace testutil;

// Exist, IsDir and Create are plain calls, proven by the update tests that stage packages with them.
TEST(UFile, SizesPast4GiBAndReadFile) {
  TempDir dir;
  const std::string path = dir.file("f");
  WriteAll(path, "");
  const long long big = 5LL * 1024 * 1024 * 1024 + 3;
  ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(big)));
  EXPECT_EQ(big, UFile::GetFileSize(path.c_str()));
  WriteAll(path, std::string(0x100000, 'a') + "b");
  WriteAll(dir.file("nul"), std::string("ab\0cd", 5));
  // Read stops at the first NUL and at 1 MiB; what cannot be read is empty.
  for (const auto& c :
       {std::make_pair("f", std::string(0x100000, 'a')), {"nul", "ab"}, {"none", ""}, {".", ""}})
    EXPECT_EQ(c.second, UFile::ReadFile(dir.file(c.first).c_str())) << c.first;
  EXPECT_FALSE(UFile::Exist(nullptr) || UFile::IsDir(nullptr));
}

TEST(UFile, FailuresAreReportedWithTheCallsName) {
  TempDir dir;
  const std::string gone = dir.file("gone");
  ChildResult r = RunChild([&] {
    bool ok = UFile::Open(gone.c_str(), O_RDONLY) == -1 && errno == ENOENT && !UFile::Close(-1);
    return ok && UFile::GetFileSize(gone.c_str()) == -1 ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  for (const std::string& line : std::vector<std::string>{
           "):Open()\t[ENOENT(2)] No such file or directory\n", "Close()\t[EBADF(9)] Bad file descriptor",
           "GetFileSize()\t[ENOENT(2)] GetFileSize('" + gone + "') error.\n"})
    EXPECT_NE(std::string::npos, r.err.find(line)) << line << r.err;
}

TEST(UFile, WriteAllTakesEverythingOrSaysItCouldNot) {
  TempDir dir;
  const std::string path = dir.file("all");
  std::string text;
  for (int i = 0; i < 300000; ++i) text += static_cast<char>(i % 251);
  ChildResult r = RunChild([&] {
    // A signal while the pipe is full cuts a write short: the rest must follow from where it stopped.
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, nullptr);
    int p[2];
    if (pipe(p) != 0) return 2;
    if (fork() == 0) {  // a slow reader, so that the pipe is full when the alarm comes
      close(p[1]);
      dup2(p[0], 0);
      _exit(execlp("sh", "sh", "-c", "sleep 0.5; cat > \"$0\"", path.c_str(), static_cast<char*>(nullptr)));
    }
    close(p[0]);
    ualarm(100000, 0);
    bool ok = UFile::WriteAll(p[1], text.data(), text.size()) && UFile::WriteAll(p[1], "!", 1);
    ok = ok && UFile::Close(p[1]) && testutil::Wait(-1) == 0;
    const int fd = open("/dev/full", O_WRONLY);
    return ok && !UFile::WriteAll(fd, "abc", 3) && errno == ENOSPC ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(text + "!", ReadAll(path));
  EXPECT_NE(std::string::npos, r.err.find("Write()\t[ENOSPC(28)]")) << r.err;
}

// Text from a package stays one argument whatever it holds: no shell comes between.
TEST(UProcess, RunCommandPassesArgumentsAsTheyAreAndTellsHowTheProgramEnded) {
  TempDir dir;
  const std::string out = dir.file("out");
  const char* print[] = {"sh",        "-c",   "printf '%s|' \"$@\" > \"$0\"", out.c_str(), "a b;c",
                         "$HOME `x`", nullptr};
  const char* missing[] = {"/nonexistent/prog", nullptr};
  EXPECT_EQ(0, RunCommand(print));
  EXPECT_EQ("a b;c|$HOME `x`|", ReadAll(out));
  ChildResult r = RunChild([&] { return RunCommand(missing); });
  EXPECT_EQ(127, r.status);
  EXPECT_EQ("/nonexistent/prog: not found\n", r.err);
}
