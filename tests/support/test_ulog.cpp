// Diagnostic log: error names, report lines as copied to standard error, stack traces.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "ULog.h"
#include "child.h"
#include "ipc_check.h"

using ipccheck::Occurrences;
using testutil::ChildResult;
using testutil::RunChild;

// Out of line and followed by work, so that its frame survives optimisation into the trace.
__attribute__((noinline)) int ReportFromNamedOperation(int err) {
  int r = USysLog::error("named.cpp", 7, "Named", err);
  asm volatile("" ::: "memory");
  return r + 0 * errno;
}

TEST(ErrorNames, AgreeWithThePlatformNames) {
  for (int n : {0, 133, -1}) EXPECT_STREQ("UNKNOWN", UError::Name(n)) << n;
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
    // The report must not disturb the errno the caller is about to hand back; zero logs nothing.
    if (USysLog::error("some/file.cpp", 42, "Open", ENOENT) != ENOENT || errno != EBADF) return 1;
    if (USysLog::error("f.cpp", 1, "Op", 0) != 0 || USysLog::error("f.cpp", 2, "Op", 0, "text %d", 5) != 0)
      return 2;
    // The caller's text replaces the error's, cut at 255 characters.
    if (USysLog::error("g.cpp", 9, "Op", EIO, "%s|tail", std::string(300, 'x').c_str()) != EIO ||
        errno != EBADF)
      return 3;
    return 0;
  });
  ASSERT_EQ(0, r.status) << r.err;
  const std::string prefix =
      std::string(program_invocation_short_name) + "[" + r.out.substr(0, r.out.size() - 1) + "]: ";
  EXPECT_EQ(0u, r.err.find(prefix + "some/file.cpp(42):Open()\t[ENOENT(2)] No such file or directory\n" +
                           prefix + "Stack Trace:\n"))
      << r.err;
  EXPECT_EQ(1, Occurrences(r.err, "g.cpp(9):Op()\t[EIO(5)] " + std::string(255, 'x') + "\n")) << r.err;
  EXPECT_EQ(2, Occurrences(r.err, "Stack Trace:\n"));  // none for a zero error
}

// A trace leaves out the report's own frames and begins with the operation that reported.
TEST(StackTrace, ReportsSkipTheirOwnFramesAndNameTheCaller) {
  ChildResult r = RunChild([] { return ReportFromNamedOperation(EACCES) == EACCES ? 0 : 1; });
  ASSERT_EQ(0, r.status);
  EXPECT_EQ(1, Occurrences(r.err, ": ReportFromNamedOperation(int) [0x")) << r.err;
  EXPECT_EQ(0, Occurrences(r.err, "USysLog::")) << r.err;
}

TEST(StackTrace, DISABLED_TraceOnly) { ReportFromNamedOperation(EIO); }

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
  EXPECT_NE(std::string::npos, r.err.find("]: " + name.substr(1) + ": ReportFromNamedOperation(int) [0x"))
      << r.err;
}
