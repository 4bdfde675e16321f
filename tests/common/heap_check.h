// Leaks that no exit status shows: the flash layers and the tools must release what they allocate
// on every path, but the tests run them in children that end with _exit, where LeakSanitizer never
// looks, and the mutation runs have no sanitizer. So the heap is weighed, in every build.
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
// The allocator's own count (sanitizer/allocator_interface.h, which not every compiler ships).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace testutil {

inline size_t HeapInUse() {
#ifdef TESTUTIL_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

// Whether a second call of fn leaves more heap in use than there was before it. fn runs twice in
// a child, its output discarded: the first call settles what is allocated once (stdio buffers,
// containers that grow to their size), so that only what each call loses is left to see. fn
// must do the same work each time; a simulated kernel's call record belongs cleared at its end.
inline bool LeavesHeap(const std::function<void()>& fn) {
  const ChildResult r = RunChild([&] {
    fn();
    const size_t before = HeapInUse();
    fn();
    return HeapInUse() > before ? 1 : 0;
  });
  return r.status != 0;
}

}  // namespace testutil
