// File, text, file-system and time helpers.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "UFile.h"
#include "UFileSystem.h"
#include "UTextUtil.h"
#include "UTime.h"
#include "child.h"
#include "private_ns.h"

using testutil::ChildResult;
using testutil::ReadAll;
using testutil::RunChild;
using testutil::TempDir;
using testutil::WriteAll;

TEST(UFileOpen, MissingFileIsReportedWithItsName) {
  TempDir dir;
  std::string path = dir.file("absent");
  ChildResult r = RunChild([&] {
    int fd = UFile::Open(path.c_str(), O_RDONLY);
    return fd == -1 && errno == ENOENT ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("):Open()\t[ENOENT(2)] No such file or directory"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("UFile.cpp(")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Stack Trace:"));
}

TEST(UFileCreate, KeepsContentUnlessTruncRequested) {
  TempDir dir;
  std::string path = dir.file("f");
  WriteAll(path, "hello");
  int fd = UFile::Create(path.c_str(), 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(5, UFile::GetFileSize(fd));
  // O_RDWR is added: the descriptor is writable although no access mode was asked for.
  EXPECT_EQ(1, UFile::Write(fd, "J", 1));
  EXPECT_TRUE(UFile::Close(fd));
  EXPECT_EQ("Jello", ReadAll(path));

  fd = UFile::Create(path.c_str(), O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, UFile::GetFileSize(fd));
  EXPECT_TRUE(UFile::Close(fd));
}

TEST(UFileCreate, NewFileModeIs0777LessUmask) {
  TempDir dir;
  std::string path = dir.file("new");
  mode_t old = umask(022);
  int fd = UFile::Create(path.c_str(), 0);
  umask(old);
  ASSERT_GE(fd, 0);
  UFile::Close(fd);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 0777u);
}

TEST(UFileReadWrite, SingleCallsAndFailures) {
  TempDir dir;
  std::string path = dir.file("rw");
  int fd = UFile::Create(path.c_str(), O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(6, UFile::Write(fd, "abcdef", 6));
  ASSERT_EQ(0, lseek(fd, 0, SEEK_SET));
  char buf[16] = {0};
  EXPECT_EQ(4, UFile::Read(fd, buf, 4));
  EXPECT_EQ(std::string("abcd"), buf);
  EXPECT_EQ(2, UFile::Read(fd, buf, sizeof buf));  // short read is handed back as it is
  EXPECT_EQ(0, UFile::Read(fd, buf, sizeof buf));
  UFile::Close(fd);

  ChildResult r = RunChild([] {
    char b[4];
    int rd = UFile::Read(-1, b, sizeof b);
    int wr = UFile::Write(-1, b, sizeof b);
    return rd < 0 && wr < 0 && errno == EBADF ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("Read()\t[EBADF(9)]")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Write()\t[EBADF(9)]")) << r.err;
}

TEST(UFileClose, BadDescriptorIsFalseAndReported) {
  ChildResult r = RunChild([] {
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return UFile::Close(fd) ? 1 : 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("Close()\t[EBADF(9)] Bad file descriptor")) << r.err;
}

TEST(UFileSize, ByDescriptorAndPath) {
  TempDir dir;
  std::string path = dir.file("s");
  WriteAll(path, std::string(1234, 'q'));
  EXPECT_EQ(1234, UFile::GetFileSize(path.c_str()));
  int fd = UFile::Open(path.c_str(), O_RDONLY);
  EXPECT_EQ(1234, UFile::GetFileSize(fd));
  UFile::Close(fd);
  // Symbolic links are followed.
  std::string link = dir.file("l");
  ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
  EXPECT_EQ(1234, UFile::GetFileSize(link.c_str()));
}

TEST(UFileSize, BeyondFourGiBOnEveryWordSize) {
  TempDir dir;
  std::string path = dir.file("sparse");
  int fd = UFile::Create(path.c_str(), O_TRUNC);
  ASSERT_GE(fd, 0);
  const long long big = 5LL * 1024 * 1024 * 1024 + 3;
  if (ftruncate(fd, static_cast<off_t>(big)) != 0) {
    UFile::Close(fd);
    GTEST_SKIP() << "no sparse files here";
  }
  EXPECT_EQ(big, UFile::GetFileSize(fd));
  EXPECT_EQ(big, UFile::GetFileSize(path.c_str()));
  UFile::Close(fd);
}

TEST(UFileSize, MissingPathAndBadDescriptorAreReported) {
  TempDir dir;
  std::string path = dir.file("gone");
  ChildResult r = RunChild([&] {
    long long a = UFile::GetFileSize(path.c_str());
    long long b = UFile::GetFileSize(-1);
    return a == -1 && b == -1 ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("GetFileSize()\t[ENOENT(2)] GetFileSize('" + path + "') error.\n"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("GetFileSize()\t[EBADF(9)] Bad file descriptor"));
}

TEST(UFileExist, KindsOfFiles) {
  TempDir dir;
  std::string file = dir.file("file"), sub = dir.file("sub");
  WriteAll(file, "x");
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  std::string dangling = dir.file("dangling"), toDir = dir.file("todir"),
              toFile = dir.file("tofile");
  ASSERT_EQ(0, symlink(dir.file("nowhere").c_str(), dangling.c_str()));
  ASSERT_EQ(0, symlink(sub.c_str(), toDir.c_str()));
  ASSERT_EQ(0, symlink(file.c_str(), toFile.c_str()));

  EXPECT_TRUE(UFile::Exist(file.c_str()));
  EXPECT_TRUE(UFile::Exist(sub.c_str()));
  EXPECT_FALSE(UFile::Exist(dangling.c_str()));
  EXPECT_FALSE(UFile::Exist(dir.file("none").c_str()));
  EXPECT_FALSE(UFile::Exist(nullptr));

  EXPECT_TRUE(UFile::IsDir(sub.c_str()));
  EXPECT_TRUE(UFile::IsDir(toDir.c_str()));
  EXPECT_FALSE(UFile::IsDir(file.c_str()));
  EXPECT_FALSE(UFile::IsDir(toFile.c_str()));
  EXPECT_FALSE(UFile::IsDir(dangling.c_str()));
  EXPECT_FALSE(UFile::IsDir(nullptr));
}

TEST(UFileExist, NothingIsReported) {
  ChildResult r = RunChild([] {
    return UFile::Exist("/nonexistent/x") || UFile::IsDir("/nonexistent/x") ? 1 : 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
}

TEST(UFileReadFile, EdgeCases) {
  TempDir dir;
  EXPECT_EQ("", UFile::ReadFile(dir.file("missing").c_str()));
  EXPECT_EQ("", UFile::ReadFile(nullptr));
  WriteAll(dir.file("empty"), "");
  EXPECT_EQ("", UFile::ReadFile(dir.file("empty").c_str()));
  WriteAll(dir.file("nul"), std::string("\0abc", 4));
  EXPECT_EQ("", UFile::ReadFile(dir.file("nul").c_str()));
  WriteAll(dir.file("mid"), std::string("ab\0cd", 5));
  EXPECT_EQ("ab", UFile::ReadFile(dir.file("mid").c_str()));
  WriteAll(dir.file("text"), "line1\nline2\n");
  EXPECT_EQ("line1\nline2\n", UFile::ReadFile(dir.file("text").c_str()));
  // A directory opens but cannot be read: empty, nothing reported.
  EXPECT_EQ("", UFile::ReadFile(dir.path().c_str()));
}

TEST(UFileReadFile, LimitedToOneMiB) {
  TempDir dir;
  std::string big;
  big.reserve(2 * 1024 * 1024);
  for (int i = 0; i < 2 * 1024 * 1024; ++i) big += static_cast<char>('a' + i % 26);
  WriteAll(dir.file("big"), big);
  std::string got = UFile::ReadFile(dir.file("big").c_str());
  ASSERT_EQ(0x100000u, got.size());
  EXPECT_EQ(big.substr(0, 0x100000), got);
  // Exactly the limit still comes back whole, and one byte less too.
  WriteAll(dir.file("exact"), big.substr(0, 0x100000));
  EXPECT_EQ(big.substr(0, 0x100000), UFile::ReadFile(dir.file("exact").c_str()));
  WriteAll(dir.file("less"), big.substr(0, 0xFFFFF));
  EXPECT_EQ(big.substr(0, 0xFFFFF), UFile::ReadFile(dir.file("less").c_str()));
}

TEST(TextSplit, LinesAndWords) {
  StringList out;
  out.push_back("old");
  char lines[] = "a\r\n\r\nb\r\n";
  EXPECT_EQ(3, UTextUtil::split(lines, "\r\n", out));
  ASSERT_EQ(3u, out.size());
  EXPECT_EQ("old", out[0]);
  EXPECT_EQ("a", out[1]);
  EXPECT_EQ("b", out[2]);
  // The text is cut in place: the delimiter after each token became a NUL.
  EXPECT_EQ('\0', lines[1]);
  EXPECT_STREQ("a", lines);

  StringList words;
  char line[] = "  write\t200000 \f400000\v\vkernel.img \r";
  EXPECT_EQ(4, UTextUtil::split(line, " \f\n\t\r\v", words));
  ASSERT_EQ(4u, words.size());
  EXPECT_EQ("write", words[0]);
  EXPECT_EQ("200000", words[1]);
  EXPECT_EQ("400000", words[2]);
  EXPECT_EQ("kernel.img", words[3]);
}

TEST(TextSplit, NothingToAppend) {
  StringList out = {"x", "y"};
  char onlyDelims[] = "\r\n\n\r";
  EXPECT_EQ(2, UTextUtil::split(onlyDelims, "\r\n", out));
  char empty[] = "";
  EXPECT_EQ(2, UTextUtil::split(empty, "\r\n", out));
  EXPECT_EQ(2, UTextUtil::split(nullptr, "\r\n", out));
  char noDelims[] = "whole";
  EXPECT_EQ(3, UTextUtil::split(noDelims, "", out));
  EXPECT_EQ("whole", out[2]);
  EXPECT_EQ(3u, out.size());
}

TEST(TextImplode, SeparatorOnlyBetweenItems) {
  EXPECT_EQ("", UTextUtil::implode(StringList(), ","));
  EXPECT_EQ("one", UTextUtil::implode(StringList{"one"}, ","));
  EXPECT_EQ("a,,b", UTextUtil::implode(StringList{"a", "", "b"}, ","));
  EXPECT_EQ("a--b--c", UTextUtil::implode(StringList{"a", "b", "c"}, "--"));
  EXPECT_EQ("abc", UTextUtil::implode(StringList{"a", "b", "c"}, ""));
  EXPECT_EQ(",", UTextUtil::implode(StringList{"", ""}, ","));
}

TEST(TextSplitImplode, RoundTripOfCleanLines) {
  char text[] = "l1\nl2\nl3";
  StringList lines;
  UTextUtil::split(text, "\r\n", lines);
  EXPECT_EQ("l1\nl2\nl3", UTextUtil::implode(lines, "\n"));
}

TEST(TimeNow, ReturnsAndStoresTheCurrentTime) {
  time_t before = time(nullptr);
  time_t stored = 0;
  time_t got = UTime::nowS(&stored);
  time_t after = time(nullptr);
  EXPECT_EQ(got, stored);
  EXPECT_LE(before, got);
  EXPECT_GE(after, got);
  time_t alone = UTime::nowS(nullptr);
  EXPECT_LE(got, alone);
}

TEST(FileSystemUmount, FailureIsReportedAndSuccessUnmounts) {
  ChildResult r = testutil::RunIsolated([] {
    if (mkdir("/tmp/mnt", 0755) != 0) return 2;
    bool notMounted = UFileSystem::Umount("/tmp/mnt");
    if (mount("none", "/tmp/mnt", "tmpfs", 0, nullptr) != 0) return 3;
    if (close(open("/tmp/mnt/marker", O_CREAT | O_WRONLY, 0644)) != 0) return 4;
    bool unmounted = UFileSystem::Umount("/tmp/mnt");
    struct stat st;
    bool markerGone = stat("/tmp/mnt/marker", &st) != 0;
    return !notMounted && unmounted && markerGone ? 0 : 1;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Umount()\t[EINVAL(22)]")) << r.err;
  // Only the failed call is reported.
  size_t first = r.err.find("Umount()");
  EXPECT_EQ(std::string::npos, r.err.find("Umount()", first + 1)) << r.err;
}
