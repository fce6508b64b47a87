#include "common/utils/WriteBuffers.h"

#include <utility>

namespace quorvel::utils {

WriteBuffers::WriteBuffers(std::string text, std::size_t offset, transport::IoCallback callback)
    : text(std::move(text)), isText(true), callback(std::move(callback)), offset(offset) {}

WriteBuffers::WriteBuffers(ByteBufferPtr buffer, std::size_t length, std::size_t offset,
                           transport::IoCallback callback)
    : buffer(std::move(buffer)), length(length), isText(false), callback(std::move(callback)), offset(offset) {}

WriteBuffers::WriteBuffers(std::string text, std::shared_ptr<const std::string> body, transport::IoCallback callback)
    : text(std::move(text)), isText(true), callback(std::move(callback)), body(std::move(body)) {}

bool WriteBuffers::isValid() const {
  if (isText) {
    return offset <= text.size();
  }
  const std::size_t held = buffer ? buffer->size() : 0;
  return length <= held && offset <= length;
}

WriteBuffers::Sequence WriteBuffers::sequence() const {
  if (!isValid()) {
    return {};
  }
  if (!isText) {
    return {boost::asio::buffer(buffer->data() + offset, length - offset), boost::asio::const_buffer()};
  }
  return {boost::asio::buffer(text.data() + offset, text.size() - offset),
          body ? boost::asio::buffer(*body) : boost::asio::const_buffer()};
}

std::size_t WriteBuffers::size() const { return boost::asio::buffer_size(sequence()); }

}  // namespace quorvel::utils
