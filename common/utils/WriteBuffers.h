#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/transport/Transport.h"

namespace quorvel::utils {

using ByteBuffer = std::vector<std::uint8_t>;
using ByteBufferPtr = std::shared_ptr<ByteBuffer>;

// One queued write: a text or a shared byte buffer, the part already consumed
// and the completion callback. The record keeps its payload alive until the
// write has ended, so it is always held by a shared pointer.
class WriteBuffers {
 public:
  WriteBuffers(std::string text, std::size_t offset, transport::IoCallback callback);
  WriteBuffers(ByteBufferPtr buffer, std::size_t length, std::size_t offset, transport::IoCallback callback);

  // Offset and length lie within the data actually held; a write that fails
  // this must never reach a socket.
  bool isValid() const;
  // First byte still to send and how many remain; only meaningful when valid.
  const void* data() const;
  std::size_t size() const;

  ByteBufferPtr buffer;
  std::size_t length = 0;
  std::string text;
  bool isText = false;
  transport::IoCallback callback;
  std::size_t offset = 0;
};

}  // namespace quorvel::utils
