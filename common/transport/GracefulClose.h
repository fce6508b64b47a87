#pragma once

#include <boost/system/error_code.hpp>

namespace quorvel::transport {

// Whether an error only says that the exchange has ended (end of stream,
// reset or abort by either side, a cancelled operation, a TLS peer that left
// without its close notification), so it is worth a DEBUG line and no more.
// A broken pipe counts only where a stream was written to.
bool isGracefulClose(const boost::system::error_code& error, bool brokenPipeIsGraceful);

}  // namespace quorvel::transport
