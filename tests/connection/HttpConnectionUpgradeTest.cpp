#include <gtest/gtest.h>

#include <numeric>
#include <sstream>

#include "MemoryConnection.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;
using transport::HttpConnection;
using transport::WebSocketFrameReader;

// "81 05" as bytes.
std::string hex(const std::string& text) {
  std::string bytes;
  for (std::size_t at = 0; at < text.size(); at += 3) {
    bytes.push_back(static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

// A client frame: masked with the given key.
std::string frame(unsigned char first, const std::string& payload, const std::string& key = hex("37 fa 21 3d")) {
  std::ostringstream out;
  transport::writeFrameHeader(out, first, payload.size());
  std::string bytes = out.str();
  bytes[1] = static_cast<char>(bytes[1] | 0x80);
  bytes += key;
  for (std::size_t i = 0; i < payload.size(); ++i) {
    bytes.push_back(static_cast<char>(payload[i] ^ key[i % 4]));
  }
  return bytes;
}

const std::string kLarge = [] {
  std::string text(5000, '\0');
  std::iota(text.begin(), text.end(), '\0');
  return text;
}();

enum class Mode { Refused, Chunked, WebSocket };
// How the callback takes what it is offered: all of it (then reading on or
// stopping), one byte per call, or nothing.
enum class Taking { All, AllThenStop, OneByte, Nothing };

struct UpgradeCase {
  const char* name;
  Mode mode;
  std::string input;
  std::string received;  // what the callback took, each call's bytes ended by '|' (one byte per call: none)
  std::string written;   // after the upgrade's reply
  bool closed;
  const char* logLine = "";
  std::size_t piece = 0;  // bytes per arrival; 0: all at once
  Taking taking = Taking::All;
  std::chrono::milliseconds wait{0};
};

const std::string kBadSize = "Error converting hex chunk length to int!";
const std::string k1002 = hex("88 02 03 EA");
const std::string kHello = hex("81 85 37 fa 21 3d 7f 9f 4d 51 58");
const std::string kChunks = "1a\r\n" + std::string(26, 'a') + "\r\n1A\r\n" + std::string(26, 'b') + "\r\n001a\r\n" +
                            std::string(26, 'c') + "\r\n";
const std::string kChunksTaken = std::string(26, 'a') + "|" + std::string(26, 'b') + "|" + std::string(26, 'c') + "|";

const UpgradeCase kCases[] = {
    {"ChunkSizesInAnyCase", Mode::Chunked, kChunks, kChunksTaken, "", false},
    {"ChunksOneBytePerArrival", Mode::Chunked, kChunks, kChunksTaken, "", false, "", 1},
    {"LastChunkCloses", Mode::Chunked, "3\r\nabc\r\n0\r\n\r\n", "abc|", "", true,
     "received chunk length of 0, stopping connection!"},
    {"ChunkExtension", Mode::Chunked, "1a;x\r\n", "", "", true, kBadSize.c_str()},
    {"NotHex", Mode::Chunked, "1g\r\n", "", "", true, kBadSize.c_str()},
    {"SizeFrom2To31", Mode::Chunked, "80000000\r\n", "", "", true, kBadSize.c_str()},
    {"SizeBeyond32Bits", Mode::Chunked, "100000010\r\n", "", "", true, kBadSize.c_str()},
    {"SizeBeyond32BitsLow", Mode::Chunked, "100000001a\r\n", "", "", true, kBadSize.c_str()},
    {"SizeLineTooLong", Mode::Chunked, std::string(1100, '1') + "\r\n", "", "", true, kBadSize.c_str()},
    {"ChunkTooLarge", Mode::Chunked, "A00001\r\n", "", "", true, "Length of the chunk seems odd"},
    {"LargestChunkOneBytePerCall", Mode::Chunked, "A00000\r\n" + std::string(0xA00000, 'x') + "\r\n",
     std::string(0xA00000, 'x'), "", false, "", 0, Taking::OneByte},
    {"ChunkNotEndedByCrLf", Mode::Chunked, "3\r\nabcXY5\r\nhello\r\n", "", "", true, "not followed by CR LF"},
    {"CallbackStops", Mode::Chunked, "3\r\nabc\r\n3\r\ndef\r\n", "abc|", "", false, "", 0, Taking::AllThenStop},
    {"CallbackTakingNothingSkipsChunk", Mode::Chunked, "3\r\nabc\r\n0\r\n", "", "", true, "chunk length of 0", 0,
     Taking::Nothing},
    {"ChunkedBodyNobodyReads", Mode::Refused, "5\r\nhello\r\n", "", "", true, "transfer coding that no handler"},
    {"ChunkTimesOut", Mode::Chunked, "3\r\nab", "", "", true, "Body not received in time", 0, Taking::All, 300ms},

    {"MaskedText", Mode::WebSocket, kHello, "Hello|", "", false},
    {"FrameOneBytePerArrival", Mode::WebSocket, kHello, "Hello|", "", false, "", 1},
    {"TwoFramesInOneArrival", Mode::WebSocket, frame(0x81, "ab") + frame(0x82, "cd"), "ab|cd|", "", false},
    {"LargeFrameInPieces", Mode::WebSocket, frame(0x82, kLarge, hex("01 02 03 04")), kLarge + "|", "",
     false, "", 7},
    {"UnmaskedAfterMasked", Mode::WebSocket, frame(0x81, "m") + hex("81 02 75 6E"), "m|un|", "", false},
    {"PingAnswered", Mode::WebSocket, hex("89 85 37 fa 21 3d 7f 9f 4d 51 58"), "", hex("8A 05 48 65 6C 6C 6F"),
     false},
    {"PongSkipped", Mode::WebSocket, frame(0x8A, "xyz") + frame(0x81, "ok"), "ok|", "", false},
    {"CloseEchoedNothingAfter", Mode::WebSocket, frame(0x88, hex("03 E8")) + frame(0x89, "p"), "",
     hex("88 02 03 E8"), true},
    {"LengthOverLimit", Mode::WebSocket, hex("82 FF 7F FF FF FF FF FF FF FF 01 02 03 04"), "", hex("88 02 03 F1"),
     true},
    {"LengthTopBit", Mode::WebSocket, hex("82 FF 80 00 00 00 00 00 00 00 01 02 03 04"), "", k1002, true},
    {"LongPing", Mode::WebSocket, frame(0x89, std::string(126, 'p')), "", k1002, true},
    {"FragmentedPing", Mode::WebSocket, frame(0x09, ""), "", k1002, true},
    {"UnknownOpcode", Mode::WebSocket, frame(0x83, ""), "", k1002, true, "Websocket: unknown opcode '\x03'"},
    {"SecondOpeningFragment", Mode::WebSocket, frame(0x01, "a") + frame(0x02, "b"), "a|", k1002, true,
     "Websocket: received an opening fragment but a fragmented message was already in flight!"},
    {"WholeFrameInsideFragments", Mode::WebSocket, frame(0x01, "a") + frame(0x81, "b"), "a|", k1002, true},
    {"StrayContinuation", Mode::WebSocket, frame(0x80, "a"), "", k1002, true},
    {"PingBetweenFragments", Mode::WebSocket, frame(0x01, "a") + frame(0x89, "p") + frame(0x80, "b"), "a|b|",
     hex("8A 01 70"), false},
    {"FrameTimesOut", Mode::WebSocket, hex("81 85 37"), "", hex("88 02 03 E8"), true, "Body not received", 0,
     Taking::All, 300ms},
    {"NoTimeOutBetweenFrames", Mode::WebSocket, kHello, "Hello|", "", false, "", 0, Taking::All, 300ms},
};

class HttpConnectionUpgradeTest : public ConnectionTest, public ::testing::WithParamInterface<UpgradeCase> {};

TEST_P(HttpConnectionUpgradeTest, HandsOverWhatArrivesAndRefusesWhatIsMalformed) {
  const UpgradeCase& c = GetParam();
  std::string received;
  processor->reaction = [&](const http::HttpRequest& request, http::HttpResponse& response, std::istream&,
                            std::shared_ptr<HttpConnection>& connection) {
    http::ProcessChunk callback = [&received, taking = c.taking](http::HttpResponse&, std::istream& in, std::size_t) {
      if (taking == Taking::OneByte) {
        received.push_back(static_cast<char>(in.get()));
      } else if (taking != Taking::Nothing) {
        received += std::string(std::istreambuf_iterator<char>(in), {}) + "|";
      }
      return taking != Taking::AllThenStop;
    };
    if (c.mode == Mode::WebSocket) {
      connection->upgradeToWebSocketAndGenerateResponse(request, response, callback);
    } else if (c.mode == Mode::Chunked) {
      connection->upgradeToChunked(request, response, callback);
    }
    return true;
  };
  ConnectionSettings settings;
  if (c.wait.count() != 0) {
    settings.bodyTimeout = 100ms;
  }
  MemoryConnection peer(settings, processor);
  peer.arrive(c.mode == Mode::WebSocket ? get("/up", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")
                                        : "POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
  const std::size_t replyEnd = peer.stream().written().size();
  EXPECT_EQ(replyEnd == 0, c.mode == Mode::Refused);
  for (const auto& piece : c.piece == 0 ? std::vector<std::string>{c.input} : inPieces(c.input, c.piece)) {
    peer.arrive(piece);
  }
  peer.runFor(c.wait);

  EXPECT_EQ(received, c.received);
  EXPECT_EQ(peer.stream().written().substr(replyEnd), c.written);
  EXPECT_EQ(peer.stream().isClosed(), c.closed);
  EXPECT_TRUE(log.contains(c.logLine));
}

INSTANTIATE_TEST_SUITE_P(Modes, HttpConnectionUpgradeTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WebSocketFrameTest, LengthFieldsAreWrittenAndReadBack) {
  const struct {
    std::size_t length;
    std::string field;
  } cases[] = {{125, hex("7D")}, {126, hex("7E 00 7E")}, {65535, hex("7E FF FF")},
               {65536, hex("7F 00 00 00 00 00 01 00 00")}};
  for (const auto& c : cases) {
    std::ostringstream out;
    HttpConnection::writeBinaryFrameHeader(out, c.length);
    const std::string header = out.str();
    EXPECT_EQ(header, "\x82" + c.field) << c.length;
    WebSocketFrameReader reader;
    std::size_t used = 0;
    EXPECT_EQ(reader.advance(reinterpret_cast<const unsigned char*>(header.data()), header.size(), 65536, used),
              WebSocketFrameReader::Status::FrameReady);
    EXPECT_EQ(reader.getPayloadLength(), c.length);
  }
}

TEST(WebSocketFrameTest, AcceptValueOfTheHandshakeExample) {
  http::HttpRequest request{authentication::AuthInfoPtr()};
  request.setSecWebSocketKey("dGhlIHNhbXBsZSBub25jZQ==");
  EXPECT_EQ(HttpConnection::computeWebSocketAccept(request), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
}  // namespace quorvel::testing
