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
#include "UTextUtil.h"
#include "child.h"

using testutil::ChildResult;
using testutil::ReadAll;
using testutil::RunChild;
using testutil::TempDir;
using testutil::WriteAll;

TEST(UFile, CreateKeepsContentUnlessTruncatedAndAlwaysWrites) {
  TempDir dir;
  const std::string path = dir.file("f"), link = dir.file("l");
  WriteAll(path, "hello");
  int fd = UFile::Create(path.c_str(), 0);
  EXPECT_EQ(5, UFile::GetFileSize(fd));
  EXPECT_EQ(1, UFile::Write(fd, "J", 1));  // writable although no access mode was asked for
  ASSERT_EQ(0, lseek(fd, 0, SEEK_SET));
  char buf[16] = {0};
  EXPECT_EQ(3, UFile::Read(fd, buf, 3));
  EXPECT_EQ(2, UFile::Read(fd, buf + 3, sizeof buf));  // a short read is handed back as it is
  EXPECT_EQ(std::string("Jello"), buf);
  EXPECT_TRUE(UFile::Close(fd));
  fd = UFile::Create(path.c_str(), O_TRUNC);
  EXPECT_EQ(0, UFile::GetFileSize(fd));
  EXPECT_TRUE(UFile::Close(fd));
  // Sizes past 4 GiB, by descriptor, path and symbolic link.
  ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
  const long long big = 5LL * 1024 * 1024 * 1024 + 3;
  if (truncate(path.c_str(), static_cast<off_t>(big)) != 0) return;
  EXPECT_EQ(big, UFile::GetFileSize(link.c_str()));
  EXPECT_EQ(big, UFile::GetFileSize(fd = UFile::Open(path.c_str(), O_RDONLY)));
  UFile::Close(fd);
}

TEST(UFile, FailuresAreReportedWithTheCallsName) {
  TempDir dir;
  const std::string gone = dir.file("gone");
  ChildResult r = RunChild([&] {
    char b[4];
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    bool ok = UFile::Open(gone.c_str(), O_RDONLY) == -1 && errno == ENOENT;
    ok = ok && UFile::Create(dir.file("no/such").c_str(), 0) == -1 && !UFile::Close(fd);
    ok = ok && UFile::GetFileSize(gone.c_str()) == -1 && UFile::GetFileSize(-1) == -1;
    ok = ok && UFile::GetFileSize(static_cast<const char*>(nullptr)) == -1;
    return ok && UFile::Read(-1, b, 4) < 0 && UFile::Write(-1, b, 4) < 0 && errno == EBADF ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  for (const std::string& line : std::vector<std::string>{
           "UFile.cpp(", "):Open()\t[ENOENT(2)] No such file or directory\n",
           "Stack Trace:", "Create()\t[ENOENT(2)]", "Close()\t[EBADF(9)] Bad file descriptor",
           "Read()\t[EBADF(9)]", "Write()\t[EBADF(9)]", "GetFileSize()\t[EBADF(9)] Bad file descriptor",
           "GetFileSize()\t[ENOENT(2)] GetFileSize('" + gone + "') error.\n",
           "GetFileSize()\t[EFAULT(14)] GetFileSize('(null)') error.\n"})
    EXPECT_NE(std::string::npos, r.err.find(line)) << line << r.err;
}

TEST(UFile, ExistAndIsDirFollowLinksSilently) {
  TempDir dir;
  WriteAll(dir.file("file"), "x");
  ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
  ASSERT_EQ(0, symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()));
  ASSERT_EQ(0, symlink(dir.file("sub").c_str(), dir.file("todir").c_str()));
  const struct {
    const char* name;
    bool exist, isDir;
  } cases[] = {{"file", 1, 0}, {"sub", 1, 1}, {"dangling", 0, 0}, {"none", 0, 0}, {"todir", 1, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.exist, UFile::Exist(dir.file(c.name).c_str())) << c.name;
    EXPECT_EQ(c.isDir, UFile::IsDir(dir.file(c.name).c_str())) << c.name;
  }
  ChildResult r = RunChild(
      [] { return UFile::Exist("/nonexistent/x") || UFile::IsDir(nullptr) || UFile::Exist(nullptr); });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
}

TEST(UFile, ReadFileStopsAtTheFirstNulAndOneMiB) {
  TempDir dir;
  std::string big(2 * 1024 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                       {std::string("\0abc", 4), ""},
                                                       {std::string("ab\0cd", 5), "ab"},
                                                       {big, big.substr(0, 0x100000)},
                                                       {big.substr(0, 0xFFFFF), big.substr(0, 0xFFFFF)}};
  for (const auto& c : cases) {
    WriteAll(dir.file("f"), c.first);
    EXPECT_EQ(c.second, UFile::ReadFile(dir.file("f").c_str())) << c.first.size();
  }
  // Missing, no name, or a directory, which opens but cannot be read: empty, nothing reported.
  const std::string gone = dir.file("missing");
  for (const char* path : {gone.c_str(), static_cast<const char*>(nullptr), dir.path().c_str()})
    EXPECT_EQ("", UFile::ReadFile(path));
}

TEST(TextUtil, SplitAppendsTokensInPlaceAndImplodeJoins) {
  StringList out = {"old"};
  char lines[] = "a\r\n\r\nb\r\n";
  EXPECT_EQ(3, UTextUtil::split(lines, "\r\n", out));
  EXPECT_EQ((StringList{"old", "a", "b"}), out);
  EXPECT_STREQ("a", lines);  // the delimiter after each token became a NUL
  StringList words;
  char line[] = "  write\t200000 \f400000\v\vkernel.img \r";
  EXPECT_EQ(4, UTextUtil::split(line, " \f\n\t\r\v", words));
  EXPECT_EQ((StringList{"write", "200000", "400000", "kernel.img"}), words);
  char onlyDelims[] = "\r\n\n\r", noDelims[] = "whole";
  EXPECT_EQ(2, UTextUtil::split(onlyDelims, "\r\n", words = {"x", "y"}));
  EXPECT_EQ(2, UTextUtil::split(nullptr, "\r\n", words));
  EXPECT_EQ(2, UTextUtil::split(noDelims, nullptr, words));
  EXPECT_EQ(3, UTextUtil::split(noDelims, "", words));
  EXPECT_EQ((StringList{"x", "y", "whole"}), words);
  EXPECT_EQ("", UTextUtil::implode(StringList(), ","));
  EXPECT_EQ("one", UTextUtil::implode(StringList{"one"}, ","));
  EXPECT_EQ("a----b", UTextUtil::implode(StringList{"a", "", "b"}, "--"));
}

TEST(UFile, WriteAllTakesEverythingOrSaysItCouldNot) {
  TempDir dir;
  const std::string path = dir.file("all");
  std::string text(300000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i % 251);
  ChildResult r = RunChild([&] {
    // A signal while the pipe is full cuts a write short: the rest must follow from where it stopped.
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, nullptr);
    int p[2];
    if (pipe(p) != 0) return 2;
    if (fork() == 0) {
      usleep(500000);
      close(p[1]);
      const int out = UFile::Create(path.c_str(), O_TRUNC);
      char b[4096];
      for (ssize_t n; (n = read(p[0], b, sizeof b)) > 0;)
        if (write(out, b, static_cast<size_t>(n)) != n) _exit(1);
      _exit(0);
    }
    close(p[0]);
    ualarm(100000, 0);
    bool ok = UFile::WriteAll(p[1], text.data(), text.size()) && UFile::WriteAll(p[1], "!", 1);
    ok = ok && UFile::WriteAll(p[1], "", 0) && UFile::Close(p[1]) && testutil::Wait(-1) == 0;
    const int fd = open("/dev/full", O_WRONLY);
    errno = 0;
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
  EXPECT_EQ(0, RunCommand(print));
  EXPECT_EQ("a b;c|$HOME `x`|", ReadAll(out));
  const char* exit3[] = {"sh", "-c", "exit 3", nullptr};
  const char* killed[] = {"sh", "-c", "kill -TERM $$", nullptr};
  const char* none[] = {nullptr};
  const char* missing[] = {"/nonexistent/prog", nullptr};
  EXPECT_EQ(3, RunCommand(exit3));
  EXPECT_EQ(128 + SIGTERM, RunCommand(killed));
  EXPECT_EQ(-2, RunCommand(nullptr) + RunCommand(none));
  ChildResult r = RunChild([&] { return RunCommand(missing); });
  EXPECT_EQ(127, r.status);
  EXPECT_EQ("/nonexistent/prog: not found\n", r.err);
}
