#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace quorvel::transport {

// Bytes of request bodies held in memory across all connections. A body that
// would go over the limit waits its turn (first come, first served) instead
// of being allocated, so slow uploads cannot drive the process out of memory.
class BodyBudget {
 public:
  // Room for a few bodies of the largest size any configuration allows.
  static constexpr std::size_t kServerBodyBytes = 64 * 1024 * 1024;

  explicit BodyBudget(std::size_t limit) : limit(limit) {}

  // The one budget of the process.
  static BodyBudget& server();

  // True when `bytes` are taken now. Otherwise false, and `granted` runs,
  // on whichever thread frees the room, once they are taken for it. A body
  // larger than the whole budget is let through when nothing else is held.
  bool acquire(std::size_t bytes, std::function<void()> granted);
  void release(std::size_t bytes);
  std::size_t held();

 private:
  bool fits(std::size_t bytes) const { return used == 0 || used + bytes <= limit; }

  std::mutex mutex;
  const std::size_t limit;
  std::size_t used = 0;
  std::deque<std::pair<std::size_t, std::function<void()>>> waiting;
};

}  // namespace quorvel::transport
