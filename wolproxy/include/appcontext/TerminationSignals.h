#pragma once

#include <functional>
#include <thread>

namespace quorvel::calvexa {

// Turns SIGABRT, SIGTSTP, SIGTERM, SIGQUIT and SIGINT into calls of a
// handler on an ordinary thread, where logging and locking are safe. The
// signal handler itself only writes the signal number into a pipe, so it
// stays async-signal-safe whichever thread the signal lands on (libraries
// start threads of their own before main, so blocking signals is not enough).
// One instance at a time.
class TerminationSignals {
 public:
  using Handler = std::function<void(int signum)>;

  // Throws std::system_error when the pipe or a handler cannot be set up.
  explicit TerminationSignals(Handler handler);
  // Restores the previous dispositions and ends the waiting thread.
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 private:
  void waitLoop();

  Handler handler;
  int readFd = -1;
  int writeFd = -1;
  std::thread waiter;
};

}  // namespace quorvel::calvexa
