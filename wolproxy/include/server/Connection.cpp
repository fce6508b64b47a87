#include "wolproxy/include/server/Connection.h"

#include "wolproxy/include/appcontext/AppContextNimbrel.h"

namespace quorvel::transport {

Connection::Connection(std::shared_ptr<Transport> transport, bool httpUseReadLimits, std::size_t httpMaxHeaderSize,
                       std::size_t httpMaxPayloadSize, http::HttpProcessorPtr processor, std::uint32_t hstsMaxAge)
    : HttpConnection(std::move(transport), httpUseReadLimits, httpMaxHeaderSize, httpMaxPayloadSize,
                     std::move(processor), hstsMaxAge) {}

void Connection::close(std::string reason) {
  HttpConnection::close(std::move(reason));
  calvexa::AppContextNimbrel::getInstance().removeConnection(std::dynamic_pointer_cast<Connection>(shared_from_this()));
}

}  // namespace quorvel::transport
