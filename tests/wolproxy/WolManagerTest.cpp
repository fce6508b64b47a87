// Magic packets as the manager builds them, and what it refuses; no socket is opened here.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/LogCapture.h"
#include "wolproxy/include/wolmanager/WolManager.h"

namespace {

using quorvel::testing::LogCapture;
using quorvel::velmora::WolManager;

const std::string kMacWarning =
    "Cannot send WOL Packet, MAC address in wrong format! Format should be: 'XX:XX:XX:XX:XX:XX' but found '";
const std::string kPasswordWarning =
    "Cannot send WOL Packet, SecureOn password address in wrong format! Format should be: "
    "'XX:XX:XX:XX:XX:XX' but found '";

std::string bytes(std::initializer_list<unsigned> values) {
  std::string out;
  for (unsigned v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::string expectedPacket(const std::string& address, const std::string& password) {
  std::string packet(6, '\xff');
  for (int i = 0; i < 16; ++i) packet += address;
  return packet + password;
}

TEST(WolPacket, SyncStreamAddressTimesSixteenAndPassword) {
  const std::string address = bytes({0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff});
  const struct {
    std::string mac, password, passwordBytes;
  } cases[] = {
      {"AA:BB:CC:DD:EE:FF", "", ""},
      {"aa:bb:cc:dd:ee:ff", "01:02:0a:7F:80:fe", bytes({0x01, 0x02, 0x0a, 0x7f, 0x80, 0xfe})},
  };
  for (const auto& c : cases) {
    std::string packet(300, 'x');  // whatever the packet held before is replaced
    ASSERT_TRUE(WolManager::fillWOLPacket(c.mac, c.password, packet)) << c.mac;
    EXPECT_EQ(packet.size(), c.password.empty() ? 102u : 108u);
    EXPECT_EQ(packet, expectedPacket(address, c.passwordBytes)) << c.mac;
  }
}

// A field is one or two hexadecimal digits in either case; a text read any
// more leniently would wake another machine than the one meant. Each text is
// tried as the address and as the password of a good address; a refused one
// leaves no packet that could be sent.
TEST(WolPacket, FieldsAreOneOrTwoHexadecimalDigitsAndAnythingElseIsRefused) {
  const std::string good = "01:02:03:04:05:06";
  const std::string goodBytes = bytes({1, 2, 3, 4, 5, 6});
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"0a:0A:a:A:0:00", bytes({0x0a, 0x0a, 0x0a, 0x0a, 0x00, 0x00})},
      {"ff:FF:fF:f:9:90", bytes({0xff, 0xff, 0xff, 0x0f, 0x09, 0x90})},
      {"AA:BB:CC:DD:EE:FG", std::nullopt},
      {"AA:BB:CC:DD:EE:GF", std::nullopt},
      {"zz:zz:zz:zz:zz:zz", std::nullopt},
      {":::::", std::nullopt},
      {"::::::", std::nullopt},
      {"AA::CC:DD:EE:FF", std::nullopt},
      {"AA:BB:CC:DD:EE:", std::nullopt},
      {"1ff:BB:CC:DD:EE:FF", std::nullopt},
      {"AA:BB:CC:DD:EE:1ff", std::nullopt},
      {"AA:BB:CC:DD:EE:0FF", std::nullopt},
      {"-1:BB:CC:DD:EE:FF", std::nullopt},
      {"+A:BB:CC:DD:EE:FF", std::nullopt},
      {" a:BB:CC:DD:EE:FF", std::nullopt},
      {"AA:BB:CC:DD:EE:a ", std::nullopt},
      {"0x1:BB:CC:DD:EE:FF", std::nullopt},
      {"0x:BB:CC:DD:EE:FF", std::nullopt},
      {"AA:BB:CC:DD:EE", std::nullopt},
      {"AA:BB:CC:DD:EE:FF:", std::nullopt},
      {"AA-BB-CC-DD-EE-FF", std::nullopt},
      {"", std::nullopt},
      {std::string("AA:BB:CC:DD:EE:F\0", 17), std::nullopt},
  };
  LogCapture logs;
  for (const auto& [text, fields] : cases) {
    quorvel::testing::freshLogWindows();
    logs.clear();
    std::string packet(300, 'x');
    EXPECT_EQ(WolManager::fillWOLPacket(text, "", packet), fields.has_value()) << text;
    EXPECT_EQ(packet, fields ? expectedPacket(*fields, "") : "") << text;
    EXPECT_EQ(logs.contains(kMacWarning, log4cplus::WARN_LOG_LEVEL), !fields) << text;
    if (text.empty()) {
      continue;  // an empty password means none
    }
    packet.assign(300, 'x');
    EXPECT_EQ(WolManager::fillWOLPacket(good, text, packet), fields.has_value()) << text;
    EXPECT_EQ(packet, fields ? expectedPacket(goodBytes, *fields) : "") << text;
    EXPECT_EQ(logs.contains(kPasswordWarning, log4cplus::WARN_LOG_LEVEL), !fields) << text;
  }
}

// The warning quotes the client's text escaped, so it cannot forge log lines.
TEST(WolPacket, TheWarningQuotesTheTextEscaped) {
  LogCapture logs;
  quorvel::testing::freshLogWindows();
  const std::string forged = std::string("AA\n2024.01.01 main INFO  - forged\r\x1b[2J\\") + '\0';
  const std::string shown = "AA\\x0a2024.01.01 main INFO  - forged\\x0d\\x1b[2J\\x5c\\x00";
  std::string packet;
  EXPECT_FALSE(WolManager::fillWOLPacket(forged, "", packet));
  EXPECT_TRUE(logs.contains(kMacWarning + shown + "' ...", log4cplus::WARN_LOG_LEVEL));
  EXPECT_FALSE(WolManager::fillWOLPacket("AA:BB:CC:DD:EE:FF", forged, packet));
  EXPECT_TRUE(logs.contains(kPasswordWarning + shown + "' ...", log4cplus::WARN_LOG_LEVEL));
}

}  // namespace
