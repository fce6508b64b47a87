#include "NimbrelVersion.h"
#include "wolproxy/include/appcontext/AppContextNimbrel.h"
#include "wolproxy/include/appcontext/CommandLine.h"
#include "wolproxy/include/appcontext/TerminationSignals.h"

#include <malloc.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/crypto.h>

#include <chrono>
#include <csignal>
#include <condition_variable>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

static log4cplus::Logger logger = log4cplus::Logger::getInstance("main");

namespace {

std::mutex signalMutex;
std::condition_variable signalCondition;
bool signalReceived = false;

// Lets requests in flight finish before the listener goes away.
constexpr std::chrono::seconds kStopDelay{2};

int finish(int exitCode) {
  log4cplus::threadCleanup();
  OPENSSL_thread_stop();
  return exitCode;
}

}  // namespace

// Runs on the signal-waiting thread, never inside the signal itself.
void signal_handler(int signum) {
  LOG4CPLUS_INFO(logger, "The interrupt signal is (" << signum << ").");
  {
    std::lock_guard<std::mutex> lock(signalMutex);
    signalReceived = true;
  }
  signalCondition.notify_all();
}

int main(int argc, char** argv) {
  using quorvel::calvexa::AppContextNimbrel;
  using quorvel::calvexa::CommandLine;

  // A fixed threshold: glibc would otherwise raise it to the size of each
  // large buffer freed, and request bodies would then stay in the heap after
  // a burst instead of going back to the system.
  constexpr int kMmapThreshold = 256 * 1024;
  mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  // Standard output may be a pipe or socket whose reader goes away (a pager,
  // a restarted journal): a log line written there must fail, not end the service.
  std::signal(SIGPIPE, SIG_IGN);

  const auto description = CommandLine::describeOptions();

  std::optional<quorvel::calvexa::TerminationSignals> signals;
  try {
    signals.emplace(signal_handler);
  } catch (const std::exception& e) {
    std::cerr << "Cannot watch for termination signals: " << e.what() << std::endl;
    return finish(1);
  }

  CommandLine options;
  try {
    options = CommandLine::parse(argc, argv, description);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    std::cout << description << std::endl;
    return finish(1);
  } catch (...) {
    std::cerr << "Unknown exception caught!" << std::endl;
    std::cout << description << std::endl;
    return finish(1);
  }

  if (options.help) {
    std::cout << description << std::endl;
    return finish(0);
  }
  if (options.version) {
    std::cout << "Nimbrel " << quorvel::calvexa::kVersion << " (commit " << quorvel::calvexa::kCommitId << " )"
              << std::endl;
    return finish(0);
  }

  AppContextNimbrel& context = AppContextNimbrel::getInstance();
  if (options.port != 0) {
    context.setPort(options.port);
  }
  if (!options.certFile.empty()) {
    context.setCertFile(options.certFile);
  }
  if (!options.keyFile.empty()) {
    context.setKeyFile(options.keyFile);
  }
  if (!options.chainFile.empty()) {
    context.setChainFile(options.chainFile);
  }
  if (options.logLevel) {
    int level = quorvel::calvexa::parseLogLevel(*options.logLevel);
    if (level == -1) {
      std::cout << std::endl
                << "could not parse loglevel value '" << *options.logLevel << "'. Assuming loglevel info." << std::endl;
      level = static_cast<int>(quorvel::common::ApplicationContextBaseLogBoost::kInfoLevel);
    }
    context.setLogLevel(level);
  }

  if (!context.init()) {
    std::cout << "Context initialisation failed!" << std::flush;
    return finish(1);
  }
  if (context.startServer() != AppContextNimbrel::ServerStatus::Running) {
    context.shutdown();
    LOG4CPLUS_FATAL(logger, "Starting Calvexa server failed, exiting.");
    return finish(1);
  }

  {
    std::unique_lock<std::mutex> lock(signalMutex);
    signalCondition.wait(lock, [] { return signalReceived; });
  }
  std::this_thread::sleep_for(kStopDelay);
  context.stopServer();
  context.shutdown();
  return finish(0);
}
