#pragma once

#include <cstddef>

#include <boost/function.hpp>
#include <boost/system/error_code.hpp>

// The transports' completion type lives at the bottom of the layers so that
// write records and HTTP records can name it without any I/O header.
namespace quorvel::transport {

// Completion of every asynchronous read and write; may be empty.
using IoCallback = boost::function<void(const boost::system::error_code& error, std::size_t bytesTransferred)>;

}  // namespace quorvel::transport
