// Diagnostic log: error names, report lines as copied to standard error, stack traces.
#include <errno.h>
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

// Both ends of the table: an entry lost or added anywhere shifts the last one.
TEST(ErrorNames, TheTableEndsAndNumbersOutsideItAreUnknown) {
  const std::pair<int, const char*> rows[] = {
      {-1, "UNKNOWN"}, {0, "UNKNOWN"}, {1, "EPERM"}, {132, "ERFKILL"}, {133, "UNKNOWN"}};
  for (const auto& row : rows) EXPECT_STREQ(row.second, UError::Name(row.first)) << row.first;
}

TEST(ErrorReport, LinesWithPrefixTextAndTrace) {
  ChildResult r = RunChild([] {
    printf("%d\n", static_cast<int>(getpid()));
    errno = EBADF;
    // The report must not disturb the errno the caller is about to hand back; zero logs nothing.
    bool ok = USysLog::error("some/file.cpp", 42, "Open", ENOENT) == ENOENT && errno == EBADF;
    ok = ok && USysLog::error("f.cpp", 1, "Op", 0) == 0 &&
         USysLog::error("f.cpp", 2, "Op", 0, "text %d", 5) == 0;
    // The caller's text replaces the error's, cut at 255 characters.
    ok = ok && USysLog::error("g.cpp", 9, "Op", EIO, "%s|tail", std::string(300, 'x').c_str()) == EIO;
    return ok && errno == EBADF ? 0 : 1;
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

TEST(StackTrace, DISABLED_TraceOnly) { ReportFromNamedOperation(EIO); }

// A trace leaves out the report's own frames and begins with the operation that reported. A frame's
// module is the program's name as started: one of exactly the module buffer's size is cut to fit.
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
  EXPECT_EQ(1, Occurrences(r.err, "]: " + name.substr(1) + ": ReportFromNamedOperation(int) [0x")) << r.err;
  EXPECT_EQ(0, Occurrences(r.err, "USysLog::")) << r.err;
}
