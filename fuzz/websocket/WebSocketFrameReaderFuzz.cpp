// Reads arbitrary bytes as client frames twice, once whole and once cut into
// arrivals, and checks that both readings agree frame by frame, that no frame
// the reader accepts breaks the size rules, and that unmasking in words is
// the same as unmasking byte by byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/connection/WebSocketFrameReader.h"

namespace {

using quorvel::transport::WebSocketFrameReader;

constexpr std::uint64_t kPayloadLimit = 1000;

void check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
  }
}

// Unmasking in words must agree with unmasking the same bytes in two parts
// split at a multiple of four, which takes the byte loop for other bytes.
std::string unmasked(const WebSocketFrameReader& reader, std::string payload) {
  std::string parts = payload;
  const std::size_t split = payload.size() / 8 * 4;
  reader.unmask(payload.data(), payload.size());
  reader.unmask(parts.data(), split);
  reader.unmask(parts.data() + split, parts.size() - split);
  check(payload == parts, "unmasking depends on the word alignment");
  return payload;
}

// Each frame as "status opcode fin length payload;", payloads unmasked, up to the first refused one.
std::string readAll(const std::string& input, std::uint32_t cut) {
  WebSocketFrameReader reader;
  std::string seen;
  std::string buffered;
  for (std::size_t at = 0;;) {
    std::size_t used = 0;
    const auto status = reader.advance(reinterpret_cast<const unsigned char*>(buffered.data()), buffered.size(),
                                       kPayloadLimit, used);
    buffered.erase(0, used);
    const std::uint64_t length = reader.getPayloadLength();
    if (status != WebSocketFrameReader::Status::NeedMore && (status != WebSocketFrameReader::Status::FrameReady ||
                                                             buffered.size() >= length)) {
      seen += std::to_string(static_cast<int>(status)) + " " + std::to_string(reader.getOpcode()) + " " +
              std::to_string(reader.isFin()) + " " + std::to_string(length) + " ";
      if (status != WebSocketFrameReader::Status::FrameReady) {
        return seen;
      }
      check(length <= kPayloadLimit, "accepted a frame over the payload limit");
      check(reader.getOpcode() < 8 || (length <= 125 && reader.isFin()), "accepted a bad control frame");
      seen += unmasked(reader, buffered.substr(0, length)) + ";";
      buffered.erase(0, length);
      reader.nextFrame();
      continue;
    }
    if (at >= input.size()) {
      return seen;
    }
    cut = cut * 1103515245u + 12345u;
    const std::size_t piece = cut == 12345u ? input.size() : 1 + (cut >> 16) % 13;
    buffered.append(input, at, piece);
    at += piece;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  // Cut 0 delivers everything in one arrival.
  check(readAll(input, 0) == readAll(input, data[0] | 1u), "reading depends on how the bytes arrive");
  return 0;
}
