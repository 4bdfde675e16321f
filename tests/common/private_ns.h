// A scenario in a child with its own IPC and mount namespaces and a fresh tmpfs on /tmp, so the
// fixed socket paths and queue keys never meet the host's or another test's.
#pragma once

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>

#include <functional>

#include "child.h"

namespace testutil {

const int kNoNamespace = 77;  // the child could not get its namespaces (not privileged)

inline ChildResult RunIsolated(const std::function<int()>& fn) {
  return RunChild([&]() -> int {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", "/tmp", "tmpfs", 0, nullptr) != 0) {
      fprintf(stderr, "namespace: errno %d\n", errno);
      return kNoNamespace;
    }
    return fn();
  });
}

}  // namespace testutil

#define SKIP_IF_NOT_ISOLATED(r)               \
  if ((r).status != testutil::kNoNamespace) { \
  } else                                      \
    GTEST_SKIP() << "no private IPC/mount namespace here: " << (r).err
