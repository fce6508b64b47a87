#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>

#include "common/utils/IoCallback.h"

namespace quorvel::utils {

using ByteBuffer = std::vector<std::uint8_t>;
using ByteBufferPtr = std::shared_ptr<ByteBuffer>;

// One queued write: a text or a shared byte buffer, the part already consumed
// and the completion callback. The record keeps its payload alive until the
// write has ended, so it is always held by a shared pointer.
class WriteBuffers {
 public:
  // Two gathered pieces: a head (for example a header block) and a body that
  // is shared, never copied.
  using Sequence = std::array<boost::asio::const_buffer, 2>;

  WriteBuffers(std::string text, std::size_t offset, transport::IoCallback callback);
  WriteBuffers(ByteBufferPtr buffer, std::size_t length, std::size_t offset, transport::IoCallback callback);
  // The text goes first, then the body; the offset counts into the text.
  WriteBuffers(std::string text, std::shared_ptr<const std::string> body, transport::IoCallback callback);

  // Offset and length lie within the data actually held; a write that fails
  // this must never reach a socket.
  bool isValid() const;
  // The bytes still to send; only meaningful when valid.
  Sequence sequence() const;
  std::size_t size() const;

  ByteBufferPtr buffer;
  std::size_t length = 0;
  std::string text;
  bool isText = false;
  transport::IoCallback callback;
  std::size_t offset = 0;
  std::shared_ptr<const std::string> body;
};

}  // namespace quorvel::utils
