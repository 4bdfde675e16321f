// File, text and file-system helpers.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UFile.h"
#include "UFileSystem.h"
#include "UTextUtil.h"
#include "child.h"
#include "private_ns.h"

using testutil::ChildResult;
using testutil::ReadAll;
using testutil::RunChild;
using testutil::TempDir;
using testutil::WriteAll;

namespace {
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
}  // namespace

TEST(UFileOpen, MissingFileIsReportedWithItsName) {
  TempDir dir;
  std::string path = dir.file("absent");
  ChildResult r = RunChild([&] { return UFile::Open(path.c_str(), O_RDONLY) == -1 && errno == ENOENT ? 0 : 1; });
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(Has(r.err, "):Open()\t[ENOENT(2)] No such file or directory")) << r.err;
  EXPECT_TRUE(Has(r.err, "UFile.cpp(")) << r.err;
  EXPECT_TRUE(Has(r.err, "Stack Trace:"));
}

TEST(UFileCreate, KeepsContentUnlessTruncRequestedAndMode0777LessUmask) {
  TempDir dir;
  std::string path = dir.file("f");
  mode_t old = umask(022);
  int fd = UFile::Create(path.c_str(), 0);
  umask(old);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(0, fstat(fd, &st));
  EXPECT_EQ(0755u, st.st_mode & 0777u);
  EXPECT_TRUE(UFile::Close(fd));

  WriteAll(path, "hello");
  fd = UFile::Create(path.c_str(), 0);
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

TEST(UFileReadWrite, SingleCallsAndFailures) {
  TempDir dir;
  int fd = UFile::Create(dir.file("rw").c_str(), O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(6, UFile::Write(fd, "abcdef", 6));
  ASSERT_EQ(0, lseek(fd, 0, SEEK_SET));
  char buf[16] = {0};
  EXPECT_EQ(4, UFile::Read(fd, buf, 4));
  EXPECT_EQ(std::string("abcd"), buf);
  EXPECT_EQ(2, UFile::Read(fd, buf, sizeof buf));  // short read is handed back as it is
  EXPECT_EQ(0, UFile::Read(fd, buf, sizeof buf));
  UFile::Close(fd);

  std::string gone = dir.file("gone");
  ChildResult r = RunChild([&] {
    char b[4];
    int fd2 = open("/dev/null", O_RDONLY);
    close(fd2);
    bool closed = UFile::Close(fd2);
    bool sizes = UFile::GetFileSize(gone.c_str()) == -1 && UFile::GetFileSize(-1) == -1;
    int rd = UFile::Read(-1, b, sizeof b);
    int wr = UFile::Write(-1, b, sizeof b);
    return !closed && sizes && rd < 0 && wr < 0 && errno == EBADF ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  for (const std::string& line :
       std::vector<std::string>{"Close()\t[EBADF(9)] Bad file descriptor", "Read()\t[EBADF(9)]", "Write()\t[EBADF(9)]",
                           "GetFileSize()\t[EBADF(9)] Bad file descriptor",
                           "GetFileSize()\t[ENOENT(2)] GetFileSize('" + gone + "') error.\n"})
    EXPECT_TRUE(Has(r.err, line)) << line << r.err;
}

TEST(UFileSize, BeyondFourGiBByDescriptorPathAndLink) {
  TempDir dir;
  std::string path = dir.file("sparse"), link = dir.file("l");
  int fd = UFile::Create(path.c_str(), O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
  const long long big = 5LL * 1024 * 1024 * 1024 + 3;
  if (ftruncate(fd, static_cast<off_t>(big)) != 0) {
    UFile::Close(fd);
    GTEST_SKIP() << "no sparse files here";
  }
  EXPECT_EQ(big, UFile::GetFileSize(fd));
  EXPECT_EQ(big, UFile::GetFileSize(path.c_str()));
  EXPECT_EQ(big, UFile::GetFileSize(link.c_str()));  // symbolic links are followed
  UFile::Close(fd);
}

TEST(UFileExist, KindsOfFilesWithoutReports) {
  TempDir dir;
  WriteAll(dir.file("file"), "x");
  ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
  ASSERT_EQ(0, symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()));
  ASSERT_EQ(0, symlink(dir.file("sub").c_str(), dir.file("todir").c_str()));
  ASSERT_EQ(0, symlink(dir.file("file").c_str(), dir.file("tofile").c_str()));
  struct Case {
    const char* name;
    bool exist, isDir;
  } cases[] = {{"file", true, false},      {"sub", true, true},    {"dangling", false, false},
               {"none", false, false},     {"todir", true, true},  {"tofile", true, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.exist, UFile::Exist(dir.file(c.name).c_str())) << c.name;
    EXPECT_EQ(c.isDir, UFile::IsDir(dir.file(c.name).c_str())) << c.name;
  }
  ChildResult r = RunChild([] {
    return UFile::Exist("/nonexistent/x") || UFile::IsDir("/nonexistent/x") || UFile::Exist(nullptr) ||
                   UFile::IsDir(nullptr) ? 1 : 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
}

TEST(UFileReadFile, UpToTheFirstNulAndOneMiB) {
  TempDir dir;
  std::string big;
  for (int i = 0; i < 2 * 1024 * 1024; ++i) big += static_cast<char>('a' + i % 26);
  struct Case {
    std::string contents, text;
  } cases[] = {{"", ""},
               {std::string("\0abc", 4), ""},
               {std::string("ab\0cd", 5), "ab"},
               {"line1\nline2\n", "line1\nline2\n"},
               {big, big.substr(0, 0x100000)},
               {big.substr(0, 0x100000), big.substr(0, 0x100000)},
               {big.substr(0, 0xFFFFF), big.substr(0, 0xFFFFF)}};
  for (const Case& c : cases) {
    WriteAll(dir.file("f"), c.contents);
    EXPECT_EQ(c.text, UFile::ReadFile(dir.file("f").c_str())) << c.contents.size();
  }
  EXPECT_EQ("", UFile::ReadFile(dir.file("missing").c_str()));
  EXPECT_EQ("", UFile::ReadFile(nullptr));
  // A directory opens but cannot be read: empty, nothing reported.
  EXPECT_EQ("", UFile::ReadFile(dir.path().c_str()));
}

TEST(TextSplit, LinesAndWords) {
  StringList out;
  out.push_back("old");
  char lines[] = "a\r\n\r\nb\r\n";
  EXPECT_EQ(3, UTextUtil::split(lines, "\r\n", out));
  EXPECT_EQ((StringList{"old", "a", "b"}), out);
  // The text is cut in place: the delimiter after each token became a NUL.
  EXPECT_EQ('\0', lines[1]);
  EXPECT_STREQ("a", lines);

  StringList words;
  char line[] = "  write\t200000 \f400000\v\vkernel.img \r";
  EXPECT_EQ(4, UTextUtil::split(line, " \f\n\t\r\v", words));
  EXPECT_EQ((StringList{"write", "200000", "400000", "kernel.img"}), words);
}

TEST(TextSplit, NothingToAppend) {
  StringList out = {"x", "y"};
  char onlyDelims[] = "\r\n\n\r", empty[] = "", noDelims[] = "whole";
  EXPECT_EQ(2, UTextUtil::split(onlyDelims, "\r\n", out));
  EXPECT_EQ(2, UTextUtil::split(empty, "\r\n", out));
  EXPECT_EQ(2, UTextUtil::split(nullptr, "\r\n", out));
  EXPECT_EQ(3, UTextUtil::split(noDelims, "", out));
  EXPECT_EQ((StringList{"x", "y", "whole"}), out);
}

TEST(TextImplode, SeparatorOnlyBetweenItems) {
  EXPECT_EQ("", UTextUtil::implode(StringList(), ","));
  EXPECT_EQ("one", UTextUtil::implode(StringList{"one"}, ","));
  EXPECT_EQ("a,,b", UTextUtil::implode(StringList{"a", "", "b"}, ","));
  EXPECT_EQ("a--b--c", UTextUtil::implode(StringList{"a", "b", "c"}, "--"));
  EXPECT_EQ("abc", UTextUtil::implode(StringList{"a", "b", "c"}, ""));
  EXPECT_EQ(",", UTextUtil::implode(StringList{"", ""}, ","));
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
  EXPECT_TRUE(Has(r.err, "Umount()\t[EINVAL(22)]")) << r.err;
  // Only the failed call is reported.
  EXPECT_EQ(std::string::npos, r.err.find("Umount()", r.err.find("Umount()") + 1)) << r.err;
}
