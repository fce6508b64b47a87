#include "support/LogCapture.h"

namespace quorvel::testing {

class LogCapture::Sink : public log4cplus::Appender {
 public:
  ~Sink() override { destructorImpl(); }
  void close() override {}

  std::vector<CapturedLine> snapshot() const {
    std::lock_guard<std::mutex> lock(linesMutex);
    return captured;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(linesMutex);
    captured.clear();
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    std::lock_guard<std::mutex> lock(linesMutex);
    captured.push_back({event.getLoggerName(), event.getLogLevel(), event.getMessage()});
  }

 private:
  mutable std::mutex linesMutex;
  std::vector<CapturedLine> captured;
};

LogCapture::LogCapture(int level, const std::string& loggerName)
    : sink(new Sink),
      logger(loggerName.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(loggerName)),
      previousLevel(logger.getLogLevel()) {
  sink->setName("Test Capture");
  logger.addAppender(sink);
  logger.setLogLevel(level);
}

LogCapture::~LogCapture() {
  logger.removeAppender(sink);
  logger.setLogLevel(previousLevel);
}

std::vector<CapturedLine> LogCapture::lines() const {
  return static_cast<Sink&>(*sink).snapshot();
}

bool LogCapture::contains(const std::string& text, int level) const { return count(text, level) > 0; }

std::size_t LogCapture::count(const std::string& text, int level) const {
  std::size_t n = 0;
  for (const auto& line : lines()) {
    if ((level < 0 || line.level == level) && line.message.find(text) != std::string::npos) {
      ++n;
    }
  }
  return n;
}

void LogCapture::clear() { static_cast<Sink&>(*sink).clear(); }

}  // namespace quorvel::testing
