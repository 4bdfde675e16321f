// Leaks no exit status shows: the tests run the flash layers in children that end with _exit,
// where LeakSanitizer never looks, and mutation runs have no sanitizer; so the heap is weighed.
#pragma once

#include <malloc.h>
#include <stddef.h>

#include <functional>

#include "child.h"

#if defined(__SANITIZE_ADDRESS__)
#define TESTUTIL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESTUTIL_ASAN 1
#endif
#endif
#ifdef TESTUTIL_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);  // not every compiler ships its header
#endif

namespace testutil {

// Whether a second call of fn, in a child, leaves more heap in use than before it; the first
// settles what is allocated once. fn must do the same work each time.
inline bool LeavesHeap(const std::function<void()>& fn) {
  auto in_use = [] {
#ifdef TESTUTIL_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
  };
  return RunChild([&] {
           fn();
           const size_t before = in_use();
           fn();
           return in_use() > before ? 1 : 0;
         }).status != 0;
}

}  // namespace testutil
