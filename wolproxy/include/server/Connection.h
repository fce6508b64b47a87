#pragma once

#include <memory>
#include <string>

#include "common/connection/HttpConnection.h"
#include "wolproxy/include/server/ConnectionPtr.h"

namespace quorvel::transport {

// A listener's connection: an HTTP connection that leaves the application
// context's list of live connections when it closes.
class Connection : public HttpConnection {
 public:
  Connection(std::shared_ptr<Transport> transport, bool httpUseReadLimits, std::size_t httpMaxHeaderSize,
             std::size_t httpMaxPayloadSize, http::HttpProcessorPtr processor, std::uint32_t hstsMaxAge);

  void close(std::string reason) override;
};

}  // namespace quorvel::transport
