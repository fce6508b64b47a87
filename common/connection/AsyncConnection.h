#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/connection/ConnectionCore.h"
#include "common/transport/Transport.h"

namespace quorvel::transport {

// One stream connection over one transport: the shared connection core with
// the transport's reads, its start and a close that runs once.
class AsyncConnection : public std::enable_shared_from_this<AsyncConnection>, public ConnectionCore {
 public:
  explicit AsyncConnection(std::shared_ptr<Transport>&& transport);
  AsyncConnection(std::shared_ptr<Transport>&& transport, AuthInfoPtr&& authInfo, std::uint32_t id);
  ~AsyncConnection() override;

  virtual void connectSignals();
  virtual void disconnectSignals();
  using ConnectionCore::async_write;
  virtual void async_read(boost::asio::streambuf& buffer, std::size_t count, IoCallback callback);
  virtual void async_read(boost::asio::mutable_buffers_1 buffer, std::size_t count, IoCallback callback);
  virtual void async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback);
  virtual void async_read_some(boost::asio::streambuf& buffer, IoCallback callback);
  virtual void async_read_until(boost::asio::streambuf& buffer, std::string delimiter, IoCallback callback);
  virtual void async_read_until(boost::asio::streambuf& buffer, MatchCondition match, IoCallback callback);
  virtual void postCloseConnection(std::string reason);
  virtual void postClose(std::string reason);
  virtual void postStartTransport(WhileConnectionCallback callback);
  bool isClosedGracefully(const boost::system::error_code& error) override;
  void printError(const boost::system::error_code& error, const std::string& where) override;
  virtual bool isConnected();
  virtual void close(std::string reason);
  virtual void closeConnection(std::string reason);
  virtual void startTransport(WhileConnectionCallback callback);

  std::shared_ptr<Transport> getTransport();

 protected:
  std::shared_ptr<ConnectionCore> self() override;
  void sendFront(const std::shared_ptr<utils::WriteBuffers>& front, IoCallback done) override;
  std::optional<Endpoint> remoteEndpoint() override;

 private:
  AsyncConnection(std::uint32_t id, std::shared_ptr<Transport>&& transport);

  std::shared_ptr<Transport> transport;
};

}  // namespace quorvel::transport
