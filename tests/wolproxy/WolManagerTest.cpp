// Magic packets as the manager builds them, and what it refuses; no socket is opened here.
#include <gtest/gtest.h>

#include <string>

#include "support/LogCapture.h"
#include "wolproxy/include/wolmanager/WolManager.h"

namespace {

using quorvel::testing::LogCapture;
using quorvel::velmora::WolManager;

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
    std::string mac, password, address, passwordBytes;
  } cases[] = {
      {"AA:BB:CC:DD:EE:FF", "", address, ""},
      {"aa:bb:cc:dd:ee:ff", "01:02:0a:7F:80:fe", address, bytes({0x01, 0x02, 0x0a, 0x7f, 0x80, 0xfe})},
      // Fields convert as far as they are hexadecimal and keep only their low byte.
      {"1ff:-1:G5:5G::0x1A", "", bytes({0xff, 0xff, 0x00, 0x05, 0x00, 0x1a}), ""},
      {" 0A:+b:0XFf:\t7:00000000001:-0x2", ":::::", bytes({0x0a, 0x0b, 0xff, 0x07, 0x01, 0xfe}),
       bytes({0, 0, 0, 0, 0, 0})},
      {"ffffffffffffffffffffffff:-ffffffffffffffffffffffff:0:0:0:0", "", bytes({0xff, 0, 0, 0, 0, 0}), ""},
  };
  for (const auto& c : cases) {
    std::string packet(300, 'x');  // whatever the packet held before is replaced
    ASSERT_TRUE(WolManager::fillWOLPacket(c.mac, c.password, packet)) << c.mac;
    EXPECT_EQ(packet.size(), c.password.empty() ? 102u : 108u);
    EXPECT_EQ(packet, expectedPacket(c.address, c.passwordBytes)) << c.mac;
  }
}

// The warning quotes the client's text escaped, so it cannot forge log lines.
TEST(WolPacket, WrongFieldCountsAreRefusedWithTheFormatWarning) {
  const std::string expected =
      "Cannot send WOL Packet, MAC address in wrong format! Format should be: 'XX:XX:XX:XX:XX:XX' but found '";
  const std::pair<std::string, std::string> cases[] = {
      {"AA:BB:CC:DD:EE", "AA:BB:CC:DD:EE"},
      {"AA:BB:CC:DD:EE:FF:", "AA:BB:CC:DD:EE:FF:"},
      {"AA-BB-CC-DD-EE-FF", "AA-BB-CC-DD-EE-FF"},
      {"", ""},
      {std::string("AA\n2024.01.01 main INFO  - forged\r\x1b[2J\\") + '\0',
       "AA\\x0a2024.01.01 main INFO  - forged\\x0d\\x1b[2J\\x5c\\x00"}};
  LogCapture logs;
  std::string packet;
  for (const auto& [mac, shown] : cases) {
    quorvel::testing::freshLogWindows();
    EXPECT_FALSE(WolManager::fillWOLPacket(mac, "", packet));
    EXPECT_TRUE(logs.contains(expected + shown + "' ...", log4cplus::WARN_LOG_LEVEL)) << shown;
  }
  EXPECT_FALSE(WolManager::fillWOLPacket("AA:BB:CC:DD:EE:FF", "01:02:03", packet));
  EXPECT_TRUE(
      logs.contains("Cannot send WOL Packet, SecureOn password address in wrong format! Format should be: "
                    "'XX:XX:XX:XX:XX:XX' but found '01:02:03' ...",
                    log4cplus::WARN_LOG_LEVEL));
}

}  // namespace
