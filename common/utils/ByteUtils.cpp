#include "common/utils/ByteUtils.h"

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/dataflow_exception.hpp>
#include <boost/archive/iterators/transform_width.hpp>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace quorvel::utils {

namespace {

namespace it = boost::archive::iterators;

using Base64Encoder = it::base64_from_binary<it::transform_width<const char*, 6, 8>>;
using Base64Decoder = it::transform_width<it::binary_from_base64<const char*>, 8, 6>;

constexpr char kFill = '=';
constexpr std::size_t kBytesPerGroup = 3;
constexpr std::size_t kCharsPerGroup = 4;

// The iterators read whole input units, so they are only ever run over
// complete groups; a short tail goes through a zero-filled copy and the
// surplus output is cut off afterwards.
template <typename Iterator>
void transformGroups(const char* in, std::size_t inLength, std::size_t groupIn, std::size_t groupOut, char zero,
                     std::size_t outLength, std::string& out) {
  const std::size_t whole = inLength - inLength % groupIn;
  Iterator source(in);
  for (std::size_t produced = 0; produced < whole / groupIn * groupOut; ++produced, ++source) {
    out.push_back(*source);
  }
  if (whole < inLength) {
    char tail[kCharsPerGroup];
    std::fill(std::begin(tail), std::end(tail), zero);
    std::memcpy(tail, in + whole, inLength - whole);
    Iterator tailSource(static_cast<const char*>(tail));
    for (std::size_t produced = 0; produced < groupOut; ++produced, ++tailSource) {
      out.push_back(*tailSource);
    }
  }
  out.resize(outLength);
}

[[noreturn]] void throwNotBase64() {
  throw it::dataflow_exception(it::dataflow_exception::invalid_base64_character);
}

}  // namespace

const char* findBytes(const char* buffer, std::size_t length, const char* needle, std::size_t needleLength) {
  if (length == 0 || needleLength > length) {
    return nullptr;
  }
  if (needleLength == 0) {
    return buffer;
  }
  const char* const lastStart = buffer + (length - needleLength);
  const char* candidate = buffer;
  while (candidate <= lastStart) {
    candidate = static_cast<const char*>(std::memchr(candidate, needle[0], lastStart - candidate + 1));
    if (candidate == nullptr) {
      return nullptr;
    }
    if (std::memcmp(candidate, needle, needleLength) == 0) {
      return candidate;
    }
    ++candidate;
  }
  return nullptr;
}

std::string base64Encode(const std::string& data) {
  const std::size_t length = data.size();
  const std::size_t fill = (kBytesPerGroup - length % kBytesPerGroup) % kBytesPerGroup;
  const std::size_t significant = (length * 8 + 5) / 6;
  std::string out;
  out.reserve(significant + fill);
  transformGroups<Base64Encoder>(data.data(), length, kBytesPerGroup, kCharsPerGroup, '\0', significant, out);
  out.append(fill, kFill);
  return out;
}

std::string base64UrlEncode(const std::string& data) {
  std::string out = base64Encode(data);
  out.erase(std::find(out.begin(), out.end(), kFill), out.end());
  std::replace(out.begin(), out.end(), '+', '-');
  std::replace(out.begin(), out.end(), '/', '_');
  return out;
}

std::string base64Decode(const std::string& text) {
  const std::size_t dataLength = text.find_last_not_of(kFill) + 1;  // npos + 1 == 0 for all-fill text
  const std::size_t fillLength = text.size() - dataLength;
  const std::size_t rest = dataLength % kCharsPerGroup;
  // One character carries only six bits, less than a byte; fill may only
  // complete the last group, never stand inside the data or after a full group.
  if (rest == 1 || fillLength > (kCharsPerGroup - rest) % kCharsPerGroup ||
      text.find(kFill) < dataLength) {
    throwNotBase64();
  }
  std::string out;
  out.reserve(dataLength / kCharsPerGroup * kBytesPerGroup + kBytesPerGroup);
  transformGroups<Base64Decoder>(text.data(), dataLength, kCharsPerGroup, kBytesPerGroup, 'A', dataLength * 6 / 8,
                                 out);
  return out;
}

std::string base64UrlDecode(std::string text) {
  std::replace(text.begin(), text.end(), '-', '+');
  std::replace(text.begin(), text.end(), '_', '/');
  text.append((kCharsPerGroup - text.size() % kCharsPerGroup) % kCharsPerGroup, kFill);
  return base64Decode(text);
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      out += separator;
    }
    out += parts[i];
  }
  return out;
}

std::string hexToBytes(const std::string& hex) {
  if (hex.size() % 2 != 0) {
    throw std::runtime_error("String is not valid length ...");
  }
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    std::istringstream pair(hex.substr(i, 2));
    unsigned int value = 0;
    pair >> std::hex >> value;
    out.push_back(static_cast<char>(value & 0xFF));
  }
  return out;
}

std::string bytesToHex(const unsigned char* data, int length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  if (length <= 0) {
    return out;
  }
  out.reserve(static_cast<std::size_t>(length) * 2);
  for (int i = 0; i < length; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0F]);
  }
  return out;
}

}  // namespace quorvel::utils
