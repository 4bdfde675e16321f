// Checks for scenarios that run in a forked child, where gtest's own assertions would not
// reach the parent: a failed check prints its line to stdout and the child exits non-zero.
#pragma once

#include <stdio.h>

#define CHILD_CHECK(cond)                                            \
  do {                                                               \
    if (!(cond)) {                                                   \
      printf("CHECK FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      fflush(stdout);                                                \
      return 1;                                                      \
    }                                                                \
  } while (0)

#define CHILD_CHECK_EQ(expected, actual) CHILD_CHECK((expected) == (actual))
