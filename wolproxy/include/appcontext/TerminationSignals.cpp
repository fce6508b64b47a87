#include "wolproxy/include/appcontext/TerminationSignals.h"

#include <log4cplus/config.hxx>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace quorvel::calvexa {

namespace {

constexpr std::array<int, 5> kSignals = {SIGABRT, SIGTSTP, SIGTERM, SIGQUIT, SIGINT};

// Read by the signal handler: a lock-free atomic is safe to touch there.
std::atomic<int> signalWriteFd{-1};
std::array<struct sigaction, kSignals.size()> previousActions;

void onSignal(int signum) {
  const int savedErrno = errno;
  const int fd = signalWriteFd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signum);
    // A full pipe already holds enough wake-ups; dropping this one is harmless.
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

void restoreActions(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    ::sigaction(kSignals[i], &previousActions[i], nullptr);
  }
}

}  // namespace

TerminationSignals::TerminationSignals(Handler handler) : handler(std::move(handler)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "creating the signal pipe");
  }
  readFd = fds[0];
  writeFd = fds[1];
  ::fcntl(writeFd, F_SETFL, ::fcntl(writeFd, F_GETFL) | O_NONBLOCK);
  signalWriteFd.store(writeFd);

  std::size_t installed = 0;
  try {
    for (; installed < kSignals.size(); ++installed) {
      struct sigaction action {};
      action.sa_handler = onSignal;
      sigemptyset(&action.sa_mask);
      // Interrupted system calls elsewhere in the program simply carry on.
      action.sa_flags = SA_RESTART;
      if (::sigaction(kSignals[installed], &action, &previousActions[installed]) != 0) {
        throw std::system_error(errno, std::generic_category(), "installing a signal handler");
      }
    }
    waiter = std::thread(&TerminationSignals::waitLoop, this);
  } catch (...) {
    restoreActions(installed);
    signalWriteFd.store(-1);
    ::close(readFd);
    ::close(writeFd);
    throw;
  }
}

TerminationSignals::~TerminationSignals() {
  restoreActions(kSignals.size());
  signalWriteFd.store(-1);
  // End-of-file on the pipe ends the waiting thread once it has handled
  // the signals still queued.
  ::close(writeFd);
  waiter.join();
  ::close(readFd);
}

void TerminationSignals::waitLoop() {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = ::read(readFd, &byte, 1);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n != 1) {
      break;
    }
    try {
      handler(byte);
    } catch (...) {
      // The handler only logs and wakes; a failure there must not end the watch.
    }
  }
  log4cplus::threadCleanup();
}

}  // namespace quorvel::calvexa
