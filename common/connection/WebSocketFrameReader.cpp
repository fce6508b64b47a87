#include "common/connection/WebSocketFrameReader.h"

#include <cstring>

namespace quorvel::transport {

namespace {
constexpr std::size_t kMaxControlPayload = 125;
constexpr std::uint8_t kLength16 = 126;
constexpr std::uint8_t kLength64 = 127;

std::uint64_t bigEndian(const unsigned char* bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    value = (value << 8) | bytes[i];
  }
  return value;
}
}  // namespace

WebSocketFrameReader::Status WebSocketFrameReader::advance(const unsigned char* data, std::size_t size,
                                                           std::uint64_t payloadLimit, std::size_t& used) {
  used = 0;
  for (;;) {
    const std::size_t left = size - used;
    const unsigned char* at = data + used;
    switch (state) {
      case State::Header: {
        if (left < 2) {
          return Status::NeedMore;
        }
        fin = (at[0] & 0x80) != 0;
        opcode = at[0] & 0x0F;
        masked = (at[1] & 0x80) != 0;
        const std::uint8_t length7 = at[1] & 0x7F;
        used += 2;
        payloadLength = length7;
        if (length7 == kLength16) {
          state = State::Length16;
        } else if (length7 == kLength64) {
          state = State::Length64;
        } else {
          state = masked ? State::MaskingKey : State::Payload;
        }
        break;
      }
      case State::Length16:
      case State::Length64: {
        const std::size_t count = state == State::Length16 ? 2 : 8;
        if (left < count) {
          return Status::NeedMore;
        }
        payloadLength = bigEndian(at, count);
        used += count;
        state = masked ? State::MaskingKey : State::Payload;
        break;
      }
      case State::MaskingKey:
        if (left < maskingKey.size()) {
          return Status::NeedMore;
        }
        std::memcpy(maskingKey.data(), at, maskingKey.size());
        used += maskingKey.size();
        state = State::Payload;
        break;
      case State::Payload:
        // Checked once the header is whole, before any payload is waited for.
        return used == 0 ? Status::FrameReady : check(payloadLimit);
    }
  }
}

WebSocketFrameReader::Status WebSocketFrameReader::check(std::uint64_t payloadLimit) {
  if ((payloadLength >> 63) != 0) {
    return Status::LengthTopBitSet;
  }
  if (opcode >= kClose) {
    if (opcode > kPong) {
      return Status::UnknownOpcode;
    }
    if (payloadLength > kMaxControlPayload || !fin) {
      return Status::BadControlFrame;
    }
    return Status::FrameReady;
  }
  if (opcode > 2) {
    return Status::UnknownOpcode;
  }
  if (payloadLength > payloadLimit) {
    return Status::TooLarge;
  }
  if (opcode == kContinuation) {
    if (fragmentedOpcode == 0) {
      return Status::StrayContinuation;
    }
    if (fin) {
      fragmentedOpcode = 0;
    }
  } else if (fragmentedOpcode != 0) {
    return fin ? Status::DataInFlight : Status::OpeningInFlight;
  } else if (!fin) {
    fragmentedOpcode = opcode;
  }
  return Status::FrameReady;
}

void WebSocketFrameReader::unmask(char* payload, std::size_t length) const {
  if (!masked) {
    return;
  }
  // A word at a time: the key repeats every four bytes, so eight bytes take it twice.
  std::uint32_t key32;
  std::memcpy(&key32, maskingKey.data(), sizeof(key32));
  const std::uint64_t key64 = (static_cast<std::uint64_t>(key32) << 32) | key32;
  std::size_t i = 0;
  for (; i + sizeof(key64) <= length; i += sizeof(key64)) {
    std::uint64_t word;
    std::memcpy(&word, payload + i, sizeof(word));
    word ^= key64;
    std::memcpy(payload + i, &word, sizeof(word));
  }
  for (; i < length; ++i) {
    payload[i] = static_cast<char>(payload[i] ^ maskingKey[i % 4]);
  }
}

void writeFrameHeader(std::ostream& out, std::uint8_t first, std::uint64_t length) {
  char header[10];
  std::size_t size = 2;
  header[0] = static_cast<char>(first);
  if (length < kLength16) {
    header[1] = static_cast<char>(length);
  } else {
    const std::size_t count = length <= 0xFFFF ? 2 : 8;
    header[1] = static_cast<char>(count == 2 ? kLength16 : kLength64);
    for (std::size_t i = 0; i < count; ++i) {
      header[2 + i] = static_cast<char>(length >> (8 * (count - 1 - i)));
    }
    size += count;
  }
  out.write(header, static_cast<std::streamsize>(size));
}

}  // namespace quorvel::transport
