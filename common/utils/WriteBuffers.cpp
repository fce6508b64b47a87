#include "common/utils/WriteBuffers.h"

#include <utility>

namespace quorvel::utils {

WriteBuffers::WriteBuffers(std::string text, std::size_t offset, transport::IoCallback callback)
    : text(std::move(text)), isText(true), callback(std::move(callback)), offset(offset) {}

WriteBuffers::WriteBuffers(ByteBufferPtr buffer, std::size_t length, std::size_t offset,
                           transport::IoCallback callback)
    : buffer(std::move(buffer)), length(length), isText(false), callback(std::move(callback)), offset(offset) {}

bool WriteBuffers::isValid() const {
  if (isText) {
    return offset <= text.size();
  }
  const std::size_t held = buffer ? buffer->size() : 0;
  return length <= held && offset <= length;
}

const void* WriteBuffers::data() const {
  if (isText) {
    return text.data() + offset;
  }
  return buffer ? buffer->data() + offset : nullptr;
}

std::size_t WriteBuffers::size() const {
  if (!isValid()) {
    return 0;
  }
  return isText ? text.size() - offset : length - offset;
}

}  // namespace quorvel::utils
