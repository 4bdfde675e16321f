// Shared by the channel tests, whose scenarios run in a private namespace (private_ns.h).
#pragma once

#include <sys/time.h>

#include <string>

#define EXPECT_CHILD_OK(r)                          \
  do {                                              \
    SKIP_IF_NOT_ISOLATED(r);                        \
    EXPECT_EQ(0, (r).status) << (r).out << (r).err; \
  } while (0)

namespace ipccheck {

inline double Seconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec + tv.tv_usec / 1e6;
}

inline int Occurrences(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

}  // namespace ipccheck
