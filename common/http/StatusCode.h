#pragma once

#include <cstdint>

namespace quorvel::http {

// Any other value is valid too; it is written as "<n> Unknown Code".
enum class StatusCode : std::uint16_t {
  SwitchingProtocols = 101,
  OK = 200,
  Created = 201,
  NoContent = 204,
  MovedPermanently = 301,
  Found = 302,
  NotModified = 304,
  BadRequest = 400,
  Unauthorized = 401,
  Forbidden = 403,
  NotFound = 404,
  MethodNotAllowed = 405,
  PayloadTooLarge = 413,
  UnsupportedMediaType = 415,
  ImATeapot = 418,
  TooManyRequests = 429,
  RequestHeaderFieldsTooLarge = 431,
  InternalServerError = 500,
  ServiceUnavailable = 503,
};

}  // namespace quorvel::http
