// Diagnostic log: error names, report lines as copied to standard error, stack traces.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ULog.h"
#include "child.h"
#include "ipc_check.h"

using ipccheck::Occurrences;
using testutil::ChildResult;
using testutil::RunChild;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The frame lines that carry a demangled name ("<module>: <name> [addr]"), in order; frames
// of interceptors or C functions are printed whole and left out here.
std::vector<std::string> DemangledFrames(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& l : Lines(text)) {
    const std::string rest = l.find("]: ") == std::string::npos ? "" : l.substr(l.find("]: ") + 3);
    const size_t colon = rest.find(": ");
    if (colon != std::string::npos && rest.find('(') > colon) out.push_back(rest);
  }
  return out;
}

}  // namespace

// Out of line and followed by work, so that the frame survives optimisation and shows up in
// the trace between the report's own frames and the test.
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
  for (int n : {0, 133, -1, -2147483647 - 1}) EXPECT_STREQ("UNKNOWN", UError::Name(n)) << n;
  // glibc knows the same first-name-wins choice; 41 and 58 have no name there.
  for (int n = 1; n <= 132; ++n) {
    const char* platform = strerrorname_np(n);
    EXPECT_EQ(platform ? std::string(platform) : "E" + std::to_string(n), UError::Name(n)) << n;
  }
}

TEST(ErrorReport, LinesWithPrefixTextAndTrace) {
  ChildResult r = RunChild([] {
    printf("%d\n", static_cast<int>(getpid()));
    errno = EBADF;
    int rc = USysLog::error("some/file.cpp", 42, "Open", ENOENT);
    // The report must not disturb the errno the caller is about to hand back.
    if (rc != ENOENT || errno != EBADF) return 1;
    // Zero logs nothing, in either form.
    if (USysLog::error("f.cpp", 1, "Op", 0) != 0 || USysLog::error("f.cpp", 2, "Op", 0, "text %d", 5) != 0)
      return 2;
    USysLog::error("f.cpp", 3, "Op", 133);
    USysLog::error("f.cpp", 4, "Op", 41);
    // The caller's text replaces the error's, cut at 255 characters.
    if (USysLog::error("g.cpp", 9, "GetFileSize", ENOENT, "GetFileSize('%s') error.", "/x/y") != ENOENT ||
        errno != EBADF)
      return 3;
    USysLog::error("g.cpp", 10, "Op", EIO, "%s|tail", std::string(300, 'x').c_str());
    USysLog::error("g.cpp", 11, "Op", EIO, "%s", std::string(255, 'y').c_str());
    USysLog::Write(USysLog::LevelInfo, "plain %s %d", "line", 3);
    return 0;
  });
  ASSERT_EQ(0, r.status) << r.err;
  const std::string prefix =
      std::string(program_invocation_short_name) + "[" + r.out.substr(0, r.out.size() - 1) + "]: ";
  std::vector<std::string> lines = Lines(r.err);
  ASSERT_GE(lines.size(), 2u) << r.err;
  EXPECT_EQ(prefix + "some/file.cpp(42):Open()\t[ENOENT(2)] No such file or directory", lines[0]);
  EXPECT_EQ(prefix + "Stack Trace:", lines[1]);
  for (const std::string& l : lines) EXPECT_EQ(0u, l.find(prefix)) << l;
  EXPECT_EQ(0, Occurrences(r.err, "f.cpp(1)") + Occurrences(r.err, "f.cpp(2)"));
  for (const std::string& part :
       {std::string("f.cpp(3):Op()\t[UNKNOWN(133)] "), std::string("f.cpp(4):Op()\t[E41(41)] "),
        std::string("g.cpp(9):GetFileSize()\t[ENOENT(2)] GetFileSize('/x/y') error.\n"),
        "[EIO(5)] " + std::string(255, 'x') + "\n", "[EIO(5)] " + std::string(255, 'y') + "\n",
        prefix + "plain line 3\n"})
    EXPECT_EQ(1, Occurrences(r.err, part)) << part << r.err;
  EXPECT_EQ(6, Occurrences(r.err, "Stack Trace:\n"));
}

TEST(StackTrace, ReportsSkipTheirOwnFramesAndNameTheCaller) {
  ChildResult r = RunChild([] { return ReportFromNamedOperation(EACCES) == EACCES ? 0 : 1; });
  ASSERT_EQ(0, r.status);
  std::vector<std::string> named = DemangledFrames(r.err);
  ASSERT_FALSE(named.empty()) << r.err;
  EXPECT_NE(std::string::npos, named[0].find(": ReportFromNamedOperation(int) [0x")) << r.err;
  EXPECT_EQ(0, Occurrences(r.err, "USysLog::"));

  // Only demangled frames count for the skip; the others (C functions, unresolved addresses) stay whole.
  ChildResult all = RunChild([] { return TraceFromNamedOperation(0), 0; });
  ChildResult one = RunChild([] { return TraceFromNamedOperation(1), 0; });
  named = DemangledFrames(all.err);
  ASSERT_GE(named.size(), 2u) << all.err;
  EXPECT_NE(std::string::npos, named[0].find(": USysLog::PrintStackTrace(int) [0x")) << all.err;
  EXPECT_NE(std::string::npos, named[1].find(": TraceFromNamedOperation(int) [0x")) << all.err;
  EXPECT_LE(1, Occurrences(all.err, "libc.so.6(")) << all.err;
  named = DemangledFrames(one.err);
  ASSERT_FALSE(named.empty()) << one.err;
  EXPECT_NE(std::string::npos, named[0].find(": TraceFromNamedOperation(int) [0x")) << one.err;
  EXPECT_EQ(Lines(all.err).size(), Lines(one.err).size() + 1);
}

TEST(StackTrace, DISABLED_TraceOnly) { TraceFromNamedOperation(0); }

// A frame's module is the program's name as started: one of exactly the module buffer's size
// must be cut to fit it, not copied whole.
TEST(StackTrace, ALongModuleNameIsCutToItsBuffer) {
  const std::string name(128, 'm');
  ChildResult r = RunChild([&] {
    execl("/proc/self/exe", name.c_str(), "--gtest_filter=StackTrace.DISABLED_TraceOnly",
          "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
    return 127;
  });
  // Under user-mode emulation the program may not start again, or not under this name.
  if (r.err.find(std::string(100, 'm')) == std::string::npos)
    GTEST_SKIP() << "frames not named by argv[0] here";
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("]: " + name.substr(1) + ": TraceFromNamedOperation(int) [0x"))
      << r.err;
}
