// Shared by the channel tests, whose scenarios run in a private namespace (private_ns.h).
#pragma once

#include <string>

#include "private_ns.h"

// Takes the child's result once: a scenario passed by value runs once.
#define EXPECT_CHILD_OK(result)                  \
  do {                                           \
    const testutil::ChildResult r_ = (result);   \
    SKIP_IF_NOT_ISOLATED(r_);                    \
    EXPECT_EQ(0, r_.status) << r_.out << r_.err; \
  } while (0)

namespace ipccheck {

inline int Occurrences(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

}  // namespace ipccheck
