#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvel::utils {

// First occurrence of needle in buffer (bytes compared as they are, NULs
// included), or nullptr. An empty needle matches at the start of a non-empty buffer.
const char* findBytes(const char* buffer, std::size_t length, const char* needle, std::size_t needleLength);

// Standard alphabet with "=" fill.
std::string base64Encode(const std::string& data);
// URL alphabet ("-" and "_"), no fill.
std::string base64UrlEncode(const std::string& data);
// Accepts the text with or without its fill. Throws
// boost::archive::iterators::dataflow_exception on a character outside the
// alphabet, a misplaced or surplus "=", or a final group of a single character.
std::string base64Decode(const std::string& text);
// Either alphabet; the fill may be left out.
std::string base64UrlDecode(std::string text);

std::string join(const std::vector<std::string>& parts, const std::string& separator);
// Throws std::runtime_error on an odd length.
std::string hexToBytes(const std::string& hex);
// Lower case, two digits per byte.
std::string bytesToHex(const unsigned char* data, int length);

}  // namespace quorvel::utils
