// Runs a libmtd call in a child, so that its messages can be compared byte for byte; errno
// travels back in the exit status.
#pragma once

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>

#include "child.h"
#include "libmtd.h"

namespace mtdtest {

struct Result {
  int ret, err;
  std::string out, errs;
};

inline Result RunOp(const std::function<int()>& op) {
  testutil::ChildResult c = testutil::RunChild([&] {
    int ret = op();
    return ret == -1 ? 128 + errno : ret;
  });
  bool failed = c.status >= 128;
  return Result{failed ? -1 : c.status, failed ? c.status - 128 : 0, c.out, c.err};
}

// The error-number line after a failed system call.
inline std::string ErrLine(int err) {
  return "        error " + std::to_string(err) + " (" + strerror(err) + ")\n";
}

const int kAnyErrno = -1;

// r is a failure with errno err (unless kAnyErrno) that wrote exactly msg to standard error.
inline ::testing::AssertionResult Failed(const Result& r, int err, const std::string& msg) {
  if (r.ret == -1 && (err == kAnyErrno || r.err == err) && r.errs == msg)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "ret " << r.ret << ", errno " << r.err << " (want " << err
                                       << ")\nstderr: " << r.errs << "\nwanted: " << msg;
}

inline ::testing::AssertionResult Fails(int err, const std::string& msg, const std::function<int()>& op) {
  return Failed(RunOp(op), err, msg);
}

// Every field of a record on one line, so that a whole record is compared at once.
inline std::string Describe(const mtd_dev_info& d) {
  char b[512];
  snprintf(b, sizeof b, "mtd%d %d:%d %d %s \"%s\" %lld = %d x %d, io %d sub %d oob %d reg %d w%u bb%u",
           d.mtd_num, d.major, d.minor, d.type, d.type_str, d.name, d.size, d.eb_cnt, d.eb_size,
           d.min_io_size, d.subpage_size, d.oob_size, d.region_cnt, d.writable, d.bb_allowed);
  return b;
}

inline std::string Describe(const mtd_info& i) {
  return std::to_string(i.mtd_dev_cnt) + " in " + std::to_string(i.lowest_mtd_num) + ".." +
         std::to_string(i.highest_mtd_num) + (i.sysfs_supported ? " sysfs" : " legacy");
}

}  // namespace mtdtest
