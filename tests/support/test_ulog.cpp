// Diagnostic log: error names, report lines as copied to standard error, stack traces.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ULog.h"
#include "child.h"

using testutil::ChildResult;
using testutil::RunChild;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

int Count(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// The frame lines that carry a demangled name ("<module>: <name> [addr]"), in order; frames
// of interceptors or C functions are printed whole and left out here.
std::vector<std::string> DemangledFrames(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    size_t body = l.find("]: ");
    if (body == std::string::npos) continue;
    std::string rest = l.substr(body + 3);
    size_t colon = rest.find(": ");
    if (colon != std::string::npos && rest.find('(') > colon) out.push_back(rest);
  }
  return out;
}

}  // namespace

// Kept out of line and followed by work, so that the frame survives optimisation and shows
// up in the trace between the report's own frames and the test.
__attribute__((noinline)) int ReportFromNamedOperation(int err) {
  int r = USysLog::error("named.cpp", 7, "Named", err);
  asm volatile("" ::: "memory");
  return r + 0 * errno;
}

__attribute__((noinline)) void TraceFromNamedOperation(int skip) {
  USysLog::PrintStackTrace(skip);
  asm volatile("" ::: "memory");
}

TEST(ErrorNames, AgreeWithThePlatformNames) {
  EXPECT_EQ(133u, sizeof(UError::sErrorCode) / sizeof(UError::sErrorCode[0]));
  EXPECT_STREQ("SUCCESS", UError::sErrorCode[0]);
  for (int n : {0, 133, -1, -2147483647 - 1}) EXPECT_STREQ("UNKNOWN", UError::Name(n)) << n;
  // glibc knows the same first-name-wins choice; 41 and 58 have no name there.
  for (int n = 1; n <= 132; ++n) {
    const char* platform = strerrorname_np(n);
    EXPECT_EQ(platform ? std::string(platform) : "E" + std::to_string(n), UError::Name(n)) << n;
  }
  EXPECT_STREQ("E41", UError::Name(41));
  EXPECT_STREQ("EDEADLK", UError::Name(35));
}

TEST(ErrorReport, FourArgumentLineWithPrefixAndTrace) {
  ChildResult r = RunChild([] {
    printf("%d\n", static_cast<int>(getpid()));
    errno = EBADF;
    int rc = USysLog::error("some/file.cpp", 42, "Open", ENOENT);
    // The report must not disturb the errno the caller is about to hand back.
    if (rc != ENOENT || errno != EBADF) return 1;
    // Zero logs nothing, in either form.
    if (USysLog::error("f.cpp", 1, "Op", 0) != 0 || USysLog::error("f.cpp", 2, "Op", 0, "text %d", 5) != 0) return 2;
    USysLog::error("f.cpp", 3, "Op", 133);
    USysLog::error("f.cpp", 4, "Op", -1);
    USysLog::error("f.cpp", 5, "Op", 41);
    return 0;
  });
  ASSERT_EQ(0, r.status) << r.err;
  std::string prefix = std::string(program_invocation_short_name) + "[" +
                       r.out.substr(0, r.out.size() - 1) + "]: ";
  std::vector<std::string> lines = Lines(r.err);
  ASSERT_GE(lines.size(), 2u) << r.err;
  EXPECT_EQ(prefix + "some/file.cpp(42):Open()\t[ENOENT(2)] No such file or directory", lines[0]);
  EXPECT_EQ(prefix + "Stack Trace:", lines[1]);
  for (const std::string& l : lines) EXPECT_EQ(0u, l.find(prefix)) << l;
  EXPECT_EQ(std::string::npos, r.err.find("f.cpp(1)")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("f.cpp(2)")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("f.cpp(3):Op()\t[UNKNOWN(133)] ")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("f.cpp(4):Op()\t[UNKNOWN(-1)] ")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("f.cpp(5):Op()\t[E41(41)] ")) << r.err;
  EXPECT_EQ(4, Count(r.err, "Stack Trace:\n"));
}

TEST(ErrorReport, FiveArgumentTextReplacesErrorTextAndIsCutAt255) {
  ChildResult r = RunChild([] {
    USysLog::error("g.cpp", 9, "GetFileSize", ENOENT, "GetFileSize('%s') error.", "/x/y");
    std::string longText(300, 'x');
    USysLog::error("g.cpp", 10, "Op", EIO, "%s|tail", longText.c_str());
    std::string exact(255, 'y');
    USysLog::error("g.cpp", 11, "Op", EIO, "%s", exact.c_str());
    return 0;
  });
  EXPECT_NE(std::string::npos,
            r.err.find("g.cpp(9):GetFileSize()\t[ENOENT(2)] GetFileSize('/x/y') error.\n"))
      << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("No such file or directory"));
  EXPECT_NE(std::string::npos, r.err.find("[EIO(5)] " + std::string(255, 'x') + "\n"));
  EXPECT_EQ(std::string::npos, r.err.find("|tail"));
  EXPECT_NE(std::string::npos, r.err.find("[EIO(5)] " + std::string(255, 'y') + "\n"));
}

TEST(StackTrace, ReportSkipsItsOwnFramesAndNamesTheCaller) {
  ChildResult r = RunChild([] { return ReportFromNamedOperation(EACCES) == EACCES ? 0 : 1; });
  ASSERT_EQ(0, r.status);
  std::vector<std::string> lines = Lines(r.err);
  ASSERT_GE(lines.size(), 3u) << r.err;
  EXPECT_NE(std::string::npos, lines[1].find("Stack Trace:"));
  // The first named frame shown is the operation that failed, with its address kept.
  std::vector<std::string> named = DemangledFrames(lines);
  ASSERT_FALSE(named.empty()) << r.err;
  EXPECT_NE(std::string::npos, named[0].find(": ReportFromNamedOperation(int) [0x")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("USysLog::PrintStackTrace")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("USysLog::error")) << r.err;
}

TEST(StackTrace, SkipCountsOnlyDemangledFrames) {
  ChildResult all = RunChild([] {
    TraceFromNamedOperation(0);
    return 0;
  });
  std::vector<std::string> lines = Lines(all.err);
  ASSERT_GE(lines.size(), 3u) << all.err;
  EXPECT_NE(std::string::npos, lines[0].find("Stack Trace:"));
  std::vector<std::string> named = DemangledFrames(lines);
  ASSERT_GE(named.size(), 2u) << all.err;
  EXPECT_NE(std::string::npos, named[0].find(": USysLog::PrintStackTrace(int) [0x")) << all.err;
  EXPECT_NE(std::string::npos, named[1].find(": TraceFromNamedOperation(int) [0x")) << all.err;
  // Frames whose names do not demangle (C functions, unresolved addresses) stay whole.
  bool whole = false;
  for (const std::string& l : lines)
    if (l.find("libc.so.6(") != std::string::npos) whole = true;
  EXPECT_TRUE(whole) << all.err;

  ChildResult one = RunChild([] {
    TraceFromNamedOperation(1);
    return 0;
  });
  lines = Lines(one.err);
  named = DemangledFrames(lines);
  ASSERT_GE(named.size(), 1u) << one.err;
  EXPECT_NE(std::string::npos, named[0].find(": TraceFromNamedOperation(int) [0x")) << one.err;
  EXPECT_EQ(Lines(all.err).size(), lines.size() + 1);
}

TEST(SysLogWrite, LevelLineGoesToStderrCopy) {
  ChildResult r = RunChild([] {
    USysLog::Write(USysLog::LevelInfo, "plain %s %d", "line", 3);
    USysLog::Write(LOG_ERR, "raw level");
    return 0;
  });
  EXPECT_NE(std::string::npos, r.err.find("]: plain line 3\n")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("]: raw level\n")) << r.err;
}
