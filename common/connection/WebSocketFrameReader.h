#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>

namespace quorvel::transport {

// Reads the header of the WebSocket frames of one connection, a piece at a
// time, and checks it before any of the payload is buffered, so that a frame
// that is refused never costs memory.
class WebSocketFrameReader {
 public:
  enum class State : std::uint8_t { Header = 1, Length16 = 2, Length64 = 3, MaskingKey = 4, Payload = 5 };

  enum class Status : std::uint8_t {
    NeedMore,            // the header is not complete yet
    FrameReady,          // the header is complete and sound; the payload follows
    LengthTopBitSet,     // a 64-bit length with its most significant bit set
    TooLarge,            // longer than the payload limit
    BadControlFrame,     // a control frame over 125 bytes or without FIN
    UnknownOpcode,       // opcodes 3-7 and 11-15
    OpeningInFlight,     // a new fragmented message while one is in flight
    DataInFlight,        // an unfragmented data frame while a message is in flight
    StrayContinuation,   // a continuation with no message in flight
  };

  static constexpr std::uint8_t kContinuation = 0;
  static constexpr std::uint8_t kClose = 8;
  static constexpr std::uint8_t kPing = 9;
  static constexpr std::uint8_t kPong = 10;

  // Takes header bytes from the front of [data, data + size) as far as the
  // header goes; `used` tells how many were taken. Once FrameReady has been
  // returned it is returned again, taking nothing, until nextFrame().
  Status advance(const unsigned char* data, std::size_t size, std::uint64_t payloadLimit, std::size_t& used);

  void nextFrame() { state = State::Header; }

  // Removes the frame's mask from its payload where it lies.
  void unmask(char* payload, std::size_t length) const;

  State getState() const { return state; }
  bool isFin() const { return fin; }
  bool isMasked() const { return masked; }
  std::uint8_t getOpcode() const { return opcode; }
  std::uint8_t getFragmentedOpcode() const { return fragmentedOpcode; }
  std::uint64_t getPayloadLength() const { return payloadLength; }

 private:
  Status check(std::uint64_t payloadLimit);

  State state = State::Header;
  bool fin = true;
  bool masked = true;
  std::uint8_t opcode = 0;
  std::uint8_t fragmentedOpcode = 0;
  std::uint64_t payloadLength = 0;
  std::array<unsigned char, 4> maskingKey{};
};

// A server frame's first two to ten bytes (never masked) for the given first byte and payload length.
void writeFrameHeader(std::ostream& out, std::uint8_t first, std::uint64_t length);

}  // namespace quorvel::transport
