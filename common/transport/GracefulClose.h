#pragma once

#include <string>

#include <boost/system/error_code.hpp>
#include <log4cplus/logger.h>

namespace quorvel::transport {

// Whether an error only says that the exchange has ended (end of stream,
// reset or abort by either side, a cancelled operation, a TLS peer that left
// without its close notification), so it is worth a DEBUG line and no more.
// A broken pipe counts only where a stream was written to.
bool isGracefulClose(const boost::system::error_code& error, bool brokenPipeIsGraceful);

// Logs a failed read, write or handshake, which any client can cause: a
// graceful close at DEBUG, anything else at WARN with repeats folded.
void logIoFailure(const log4cplus::Logger& logger, const std::string& logPrefix, const boost::system::error_code& error,
                  bool graceful, const std::string& where);

}  // namespace quorvel::transport
