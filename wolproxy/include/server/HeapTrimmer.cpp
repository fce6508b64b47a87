#include "wolproxy/include/server/HeapTrimmer.h"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quorvel::http {

void HeapTrimmer::notePeak(std::size_t live) { peak = std::max(peak, live); }

bool HeapTrimmer::trimIfDrained(std::size_t live) {
  if (live > peak / 2 || peak - live < kMinimumDrop) {
    return false;
  }
  peak = live;
#if defined(__GLIBC__)
  // Also returns the free pages inside every arena, not only the top of the main one.
  malloc_trim(0);
#endif
  return true;
}

}  // namespace quorvel::http
