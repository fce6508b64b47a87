#include "common/connection/basic_framed_streambuf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <istream>
#include <iterator>
#include <string>

namespace {

using Buffer = basic_framed_streambuf<std::allocator<char>>;

void receive(Buffer& buffer, const std::string& bytes) {
  auto space = buffer.prepare(bytes.size());
  std::memcpy(space.data(), bytes.data(), bytes.size());
  buffer.commit(bytes.size());
}

std::string readAll(Buffer& buffer) {
  std::istream in(&buffer);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FramedStreambufTest, ReaderCannotPassTheWindowAndClosingSkipsTheUnreadRest) {
  Buffer buffer;
  receive(buffer, "0123456789NEXT");
  buffer.openWindow(10);
  std::istream in(&buffer);
  char two[2];
  in.read(two, 2);
  EXPECT_EQ(std::string(two, 2), "01");
  EXPECT_EQ(buffer.windowRemaining(), 8u);
  buffer.closeWindow();
  buffer.openWindow(2);
  EXPECT_EQ(readAll(buffer), "NE");
  buffer.closeWindow();
  EXPECT_EQ(readAll(buffer), "XT");
}

TEST(FramedStreambufTest, WindowLargerThanWhatArrivedEndsAtTheReceivedBytes) {
  Buffer buffer;
  receive(buffer, "short");
  buffer.openWindow(100);
  EXPECT_EQ(readAll(buffer), "short");
  buffer.closeWindow();
  EXPECT_EQ(buffer.size(), 0u);
  receive(buffer, "later");
  EXPECT_EQ(readAll(buffer), "later");
}

}  // namespace
