// Checks for scenarios that run in a forked child, where gtest's own assertions would not
// reach the parent: a failed check prints its line to stdout and the child exits non-zero.
#pragma once

#include <stdio.h>

#include <string>

#define CHILD_CHECK(cond)                                                  \
  do {                                                                     \
    if (!(cond)) return childcheck::Failed(__FILE__, __LINE__, #cond, ""); \
  } while (0)

#define CHILD_CHECK_EQ(expected, actual)                                                            \
  do {                                                                                              \
    auto e_ = (expected);                                                                           \
    auto a_ = (actual);                                                                             \
    if (!(e_ == a_))                                                                                \
      return childcheck::Failed(__FILE__, __LINE__, #expected " == " #actual,                       \
                                " (" + childcheck::Show(e_) + " vs " + childcheck::Show(a_) + ")"); \
  } while (0)

namespace childcheck {
inline int Failed(const char* file, int line, const char* what, const std::string& values) {
  printf("CHECK FAILED %s:%d: %s%s\n", file, line, what, values.c_str());
  fflush(stdout);
  return 1;
}
inline std::string Show(const std::string& s) { return "\"" + s + "\""; }
inline std::string Show(const char* s) { return s ? Show(std::string(s)) : "null"; }
inline std::string Show(char* s) { return Show(static_cast<const char*>(s)); }
template <typename T>
std::string Show(const T& v) {
  return std::to_string(v);
}
}  // namespace childcheck
