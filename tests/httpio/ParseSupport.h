// Small helpers shared by the parser and writer tests.
#pragma once

#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "common/authentication/AuthInfo.h"
#include "common/http/HttpParser.h"
#include "common/http/HttpParsingException.h"
#include "common/http/HttpRequest.h"

namespace quorvel::testing {

inline authentication::AuthInfoPtr connectionIdentity(const std::string& id = "cid:7") {
  auto info = std::make_shared<authentication::AuthInfo>();
  info->setConnectionId(id);
  return info;
}

inline std::unique_ptr<http::HttpRequest> parseRequest(const std::string& text) {
  auto request = std::make_unique<http::HttpRequest>(connectionIdentity());
  std::istringstream input(text);
  http::HttpParser::parseRequestHeaders(*request, input);
  return request;
}

struct ParseFailure {
  std::string message;
  std::string function;
  int code = -1;
};

// The parser's refusal of the text, or nothing when it was accepted.
inline std::optional<ParseFailure> parseFailure(const std::string& text) {
  try {
    parseRequest(text);
  } catch (const http::HttpParsingException& e) {
    return ParseFailure{e.getMessage(), e.getFunction(), e.getCode()};
  }
  return std::nullopt;
}

}  // namespace quorvel::testing
