#include "common/transport/SocketTransport.h"

namespace quorvel::transport {

SocketTransport::SocketTransport(boost::asio::io_service& ioService, AuthInfoPtr authInfo)
    : Transport(ioService, std::move(authInfo)) {}

SocketTransport::~SocketTransport() = default;

}  // namespace quorvel::transport
