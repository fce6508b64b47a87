#pragma once

namespace quorvel::common {

// Process-wide single instance, created on first use and destroyed at exit.
// The derived class keeps its constructor private and befriends this base.
template <typename T>
class SingletonBase {
 public:
  static T& getInstance() {
    static T instance;
    return instance;
  }

  SingletonBase(const SingletonBase&) = delete;
  SingletonBase& operator=(const SingletonBase&) = delete;

 protected:
  SingletonBase() = default;
  ~SingletonBase() = default;
};

}  // namespace quorvel::common
