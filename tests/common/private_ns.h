// Runs a scenario in a child with its own IPC and mount namespaces and a fresh tmpfs on
// /tmp, so the fixed socket paths and queue keys never meet the host's or another test's.
#pragma once

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "child.h"

namespace testutil {

// Exit status of a child that could not get its namespaces (not privileged).
const int kNoNamespace = 77;

inline ChildResult RunIsolated(const std::function<int()>& fn) {
  return RunChild([&]() -> int {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0) {
      fprintf(stderr, "unshare: errno %d\n", errno);
      return kNoNamespace;
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", "/tmp", "tmpfs", 0, nullptr) != 0) {
      fprintf(stderr, "mount: errno %d\n", errno);
      return kNoNamespace;
    }
    return fn();
  });
}

}  // namespace testutil

// Skips the calling test when the scenario could not be isolated.
#define SKIP_IF_NOT_ISOLATED(r)                                           \
  do {                                                                    \
    if ((r).status == testutil::kNoNamespace)                             \
      GTEST_SKIP() << "no private IPC/mount namespace here: " << (r).err; \
  } while (0)
