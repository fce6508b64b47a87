#include "common/connection/BodyBudget.h"

#include <algorithm>
#include <utility>

namespace quorvel::transport {

namespace {
// Outside the lock: a waiter may release again from its callback.
void runAll(std::vector<std::function<void()>> ready) {
  for (auto& granted : ready) {
    granted();
  }
}
}  // namespace

BodyBudget& BodyBudget::server() {
  // Never destroyed: connections that outlive static destruction at exit may still give bytes back.
  static BodyBudget* const budget = new BodyBudget(kServerBodyBytes);
  return *budget;
}

BodyBudget::Ticket BodyBudget::acquire(std::size_t bytes, std::function<void()> granted) {
  std::lock_guard<std::mutex> lock(mutex);
  // Nobody overtakes a waiting body, or a large one could starve.
  if (waiting.empty() && fits(bytes)) {
    used += bytes;
    return kGrantedNow;
  }
  waiting.push_back({++lastTicket, bytes, std::move(granted)});
  return lastTicket;
}

bool BodyBudget::cancel(Ticket ticket) {
  std::vector<std::function<void()>> ready;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = std::find_if(waiting.begin(), waiting.end(),
                                 [ticket](const Waiter& waiter) { return waiter.ticket == ticket; });
    if (it == waiting.end()) {
      return false;
    }
    waiting.erase(it);
    // A large body that leaves the front may let smaller ones behind it in.
    ready = admitWaiting();
  }
  runAll(std::move(ready));
  return true;
}

void BodyBudget::release(std::size_t bytes) {
  std::vector<std::function<void()>> ready;
  {
    std::lock_guard<std::mutex> lock(mutex);
    used -= bytes;
    ready = admitWaiting();
  }
  runAll(std::move(ready));
}

std::vector<std::function<void()>> BodyBudget::admitWaiting() {
  std::vector<std::function<void()>> ready;
  while (!waiting.empty() && fits(waiting.front().bytes)) {
    used += waiting.front().bytes;
    ready.push_back(std::move(waiting.front().granted));
    waiting.pop_front();
  }
  return ready;
}

std::size_t BodyBudget::held() {
  std::lock_guard<std::mutex> lock(mutex);
  return used;
}

}  // namespace quorvel::transport
