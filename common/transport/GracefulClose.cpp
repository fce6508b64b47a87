#include "common/transport/GracefulClose.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <log4cplus/loggingmacros.h>

#include "common/utils/LogText.h"

namespace quorvel::transport {

namespace {

// Compared as conditions, so the platform's own numbers (104 or 10054 for a
// reset, 995 or 125 for an abort) and a wrapped standard error all match,
// while an unrelated error that happens to share a number does not.
constexpr auto kPeerReset = boost::system::errc::connection_reset;
constexpr auto kConnectionAborted = boost::system::errc::connection_aborted;
constexpr auto kOperationCanceled = boost::system::errc::operation_canceled;
constexpr auto kBrokenPipe = boost::system::errc::broken_pipe;
// Asio's own category: the peer closed the stream.
constexpr auto kEndOfStream = boost::asio::error::eof;
constexpr auto kTlsTruncated = boost::asio::ssl::error::stream_truncated;

}  // namespace

bool isGracefulClose(const boost::system::error_code& error, bool brokenPipeIsGraceful) {
  return !error || error == kEndOfStream || error == kPeerReset || error == kConnectionAborted ||
         error == kOperationCanceled || error == kTlsTruncated || (brokenPipeIsGraceful && error == kBrokenPipe);
}

void logIoFailure(const log4cplus::Logger& logger, const std::string& logPrefix, const boost::system::error_code& error,
                  bool graceful, const std::string& where) {
  if (graceful) {
    LOG4CPLUS_DEBUG(logger, logPrefix << "Connection closed gracefully( " << where << " ).");
    return;
  }
  NIMBREL_LOG_FOLDED(logger, log4cplus::WARN_LOG_LEVEL, logPrefix, where + " Error was: '" + error.message() + "'");
}

}  // namespace quorvel::transport
