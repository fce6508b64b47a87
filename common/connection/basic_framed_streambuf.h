#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>

#include <boost/asio/streambuf.hpp>

// The connection's request read buffer. A window limits what readers of an
// std::istream over it can see to the next N bytes (one body, chunk or
// frame), so a handler can never read into the next request; closing the
// window skips whatever the reader left of it.
template <typename Allocator = std::allocator<char>>
class basic_framed_streambuf : public boost::asio::basic_streambuf<Allocator> {
 public:
  using traits_type = typename boost::asio::basic_streambuf<Allocator>::traits_type;
  using int_type = typename boost::asio::basic_streambuf<Allocator>::int_type;

  explicit basic_framed_streambuf(std::size_t reserveBytes = 0)
      : boost::asio::basic_streambuf<Allocator>((std::numeric_limits<std::size_t>::max)()) {
    if (reserveBytes != 0) {
      this->reserve(reserveBytes);
    }
  }

  // Requires no read into the buffer while the window is open: a refill
  // may move the storage the saved positions point into.
  void openWindow(std::size_t length) {
    if (frame != nullptr) {
      closeWindow();
    }
    frame = this->pptr();
    windowEnd = this->gptr() + std::min<std::size_t>(length, this->pptr() - this->gptr());
    this->setg(this->eback(), this->gptr(), windowEnd);
  }

  void closeWindow() {
    if (frame == nullptr) {
      return;
    }
    char* received = this->pptr();
    char* position = std::max(this->gptr(), std::min(windowEnd, received));
    this->setg(this->eback(), position, received);
    frame = nullptr;
    windowEnd = nullptr;
  }

  // The unread bytes, writable where they lie (for in-place transforms).
  char* unreadBytes() { return this->gptr(); }

  bool isWindowOpen() const { return frame != nullptr; }

  // Unread bytes inside the open window (0 without a window).
  std::size_t windowRemaining() const { return frame == nullptr ? 0 : this->egptr() - this->gptr(); }

 protected:
  int_type underflow() override {
    if (frame != nullptr) {
      return traits_type::eof();
    }
    if (this->gptr() < this->pptr()) {
      this->setg(this->eback(), this->gptr(), this->pptr());
      return traits_type::to_int_type(*this->gptr());
    }
    return traits_type::eof();
  }

 private:
  char* frame = nullptr;
  char* windowEnd = nullptr;
};
