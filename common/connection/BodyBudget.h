#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace quorvel::transport {

// Bytes of request bodies held in memory across all connections. A body that
// would go over the limit waits its turn (first come, first served) instead
// of being allocated, so slow uploads cannot drive the process out of memory.
// Outside the budget each connection holds its TLS stream's buffers (about
// 90 KiB measured with a body under way) and, while its body waits, only the
// body bytes that arrived with the header (one read, at most 64 KiB); the
// bytes the client sends meanwhile stay in the kernel's socket buffers.
class BodyBudget {
 public:
  // Names a body's wait; kGrantedNow when its bytes were taken at once.
  using Ticket = std::uint64_t;
  static constexpr Ticket kGrantedNow = 0;

  // Room for a few bodies of the largest size any configuration allows.
  static constexpr std::size_t kServerBodyBytes = 64 * 1024 * 1024;

  explicit BodyBudget(std::size_t limit) : limit(limit) {}

  // The one budget of the process.
  static BodyBudget& server();

  // Takes `bytes` now if they fit, and gives kGrantedNow. Otherwise queues
  // the body and gives its ticket: `granted` then runs, on whichever thread
  // frees the room, once the bytes are taken for it. A body larger than the
  // whole budget is let through when nothing else is held.
  Ticket acquire(std::size_t bytes, std::function<void()> granted);
  // Takes a waiting body out of the queue; false when its bytes were
  // granted already (its callback has run or is running).
  bool cancel(Ticket ticket);
  void release(std::size_t bytes);
  std::size_t held();

 private:
  struct Waiter {
    Ticket ticket;
    std::size_t bytes;
    std::function<void()> granted;
  };

  bool fits(std::size_t bytes) const { return used == 0 || used + bytes <= limit; }
  // Takes the bytes of the waiters at the front that fit now; their callbacks.
  std::vector<std::function<void()>> admitWaiting();

  std::mutex mutex;
  const std::size_t limit;
  std::size_t used = 0;
  Ticket lastTicket = kGrantedNow;
  std::deque<Waiter> waiting;
};

}  // namespace quorvel::transport
