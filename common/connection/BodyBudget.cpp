#include "common/connection/BodyBudget.h"

#include <vector>

namespace quorvel::transport {

BodyBudget& BodyBudget::server() {
  static BodyBudget budget(kServerBodyBytes);
  return budget;
}

bool BodyBudget::acquire(std::size_t bytes, std::function<void()> granted) {
  std::lock_guard<std::mutex> lock(mutex);
  // Nobody overtakes a waiting body, or a large one could starve.
  if (waiting.empty() && fits(bytes)) {
    used += bytes;
    return true;
  }
  waiting.emplace_back(bytes, std::move(granted));
  return false;
}

void BodyBudget::release(std::size_t bytes) {
  std::vector<std::function<void()>> ready;
  {
    std::lock_guard<std::mutex> lock(mutex);
    used -= bytes;
    while (!waiting.empty() && fits(waiting.front().first)) {
      used += waiting.front().first;
      ready.push_back(std::move(waiting.front().second));
      waiting.pop_front();
    }
  }
  // Outside the lock: a waiter may release again from its callback.
  for (auto& granted : ready) {
    granted();
  }
}

std::size_t BodyBudget::held() {
  std::lock_guard<std::mutex> lock(mutex);
  return used;
}

}  // namespace quorvel::transport
