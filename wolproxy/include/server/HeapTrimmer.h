#pragma once

#include <cstddef>

namespace quorvel::http {

// Gives the memory of a past burst of connections back to the system. The
// allocator keeps what is freed for reuse; after thousands of connections
// that is hundreds of megabytes that nothing may ever reuse.
class HeapTrimmer {
 public:
  // A smaller drop frees too little (some megabytes) to be worth a trim,
  // which walks the whole heap.
  static constexpr std::size_t kMinimumDrop = 256;

  // Records a live connection count as it rises.
  void notePeak(std::size_t live);
  // Trims once the live count has fallen to half its peak since the last
  // trim, and by kMinimumDrop at least; whether it did.
  bool trimIfDrained(std::size_t live);

 private:
  std::size_t peak = 0;
};

}  // namespace quorvel::http
