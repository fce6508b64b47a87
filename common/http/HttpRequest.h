#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/http/HttpHeader.h"

namespace quorvel::http {

// A request: the shared header fields plus the request-only headers, the body
// and the query parameters. The content length always matches the body once
// one is set.
class HttpRequest : public HttpHeader {
 public:
  explicit HttpRequest(AuthInfoPtr authInfo);
  HttpRequest(AuthInfoPtr&& authInfo, std::string&& method, std::string&& path, std::string&& query,
              std::string&& httpVersion);

  HttpRequest(HttpRequest&&) = default;
  HttpRequest& operator=(HttpRequest&&) = default;

  // Keeps the Sec-CH-UA fields and the query parameters; a connection starts
  // each request with a fresh record instead.
  void clear() override;

  virtual const std::string& getUserAgent() const;
  virtual bool hasUserAgent() const;
  virtual void setUserAgent(std::string&& value);
  virtual const std::string& getHost() const;
  virtual bool hasHost() const;
  virtual void setHost(std::string&& value);

  virtual const std::string& getAccessControlRequestMethod() const;
  virtual std::vector<std::string> getAccessControlRequestMethodList() const;
  virtual bool hasAccessControlRequestMethod() const;
  virtual void setAccessControlRequestMethod(std::string&& value);
  virtual void addAccessControlRequestMethod(const std::string& value);
  virtual void setAccessControlRequestMethodList(const std::vector<std::string>& values);

  virtual const std::string& getAccessControlRequestHeaders() const;
  virtual std::vector<std::string> getAccessControlRequestHeadersList() const;
  virtual bool hasAccessControlRequestHeaders() const;
  virtual void setAccessControlRequestHeaders(std::string&& value);
  virtual void addAccessControlRequestHeaders(const std::string& value);
  virtual void setAccessControlRequestHeadersList(const std::vector<std::string>& values);

  virtual const std::string& getOrigin() const;
  virtual bool hasOrigin() const;
  virtual void setOrigin(std::string&& value);
  virtual const std::string& getReferer() const;
  virtual bool hasReferer() const;
  virtual void setReferer(std::string&& value);
  virtual const std::string& getSecChUa() const;
  virtual bool hasSecChUa() const;
  virtual void setSecChUa(std::string&& value);
  virtual const std::string& getSecChUaMobile() const;
  virtual bool hasSecChUaMobile() const;
  virtual void setSecChUaMobile(std::string&& value);
  virtual const std::string& getSecChUaPlatform() const;
  virtual bool hasSecChUaPlatform() const;
  virtual void setSecChUaPlatform(std::string&& value);
  virtual const std::string& getSecChUaPlatformVersion() const;
  virtual bool hasSecChUaPlatformVersion() const;
  virtual void setSecChUaPlatformVersion(std::string&& value);
  virtual const std::string& getSecChUaArch() const;
  virtual bool hasSecChUaArch() const;
  virtual void setSecChUaArch(std::string&& value);
  virtual const std::string& getSecChUaBitness() const;
  virtual bool hasSecChUaBitness() const;
  virtual void setSecChUaBitness(std::string&& value);
  virtual const std::string& getSecChUaModel() const;
  virtual bool hasSecChUaModel() const;
  virtual void setSecChUaModel(std::string&& value);
  virtual const std::string& getSecChUaFullVersion() const;
  virtual bool hasSecChUaFullVersion() const;
  virtual void setSecChUaFullVersion(std::string&& value);

  virtual const std::string& getIfModifiedSince() const;
  virtual time_t getIfModifiedSinceTime() const;
  virtual bool hasIfModifiedSince() const;
  virtual void setIfModifiedSince(std::string&& value);
  virtual void setIfModifiedSinceTime(time_t value);

  virtual const std::string& getIfNoneMatch() const;
  virtual bool hasIfNoneMatch() const;
  virtual void setIfNoneMatch(std::string&& value);

  virtual bool isCorsPreflight() const;

  virtual const std::string& getBody() const;
  // Moves the body out and sets the content length to 0.
  virtual std::string takeBody();
  // Throws std::length_error for a body of 4 GiB or more (record unchanged).
  virtual void setBody(std::string&& body);

  // An absent name reads as the empty text.
  virtual const std::string& getQueryParameter(const std::string& name) const;

  // Takes the query part of a request target: empty, or "?" followed by
  // "&"-separated name=value pairs. Nothing is decoded.
  void parseQueryString(std::string&& query);

 private:
  std::string userAgent;
  std::string host;
  std::string accessControlRequestMethod;
  std::string accessControlRequestHeaders;
  std::string origin;
  std::string referer;
  std::string secChUa;
  std::string secChUaMobile;
  std::string secChUaPlatform;
  std::string secChUaPlatformVersion;
  std::string secChUaArch;
  std::string secChUaBitness;
  std::string secChUaModel;
  std::string secChUaFullVersion;
  DatePair ifModifiedSince;
  std::string ifNoneMatch;
  std::string body;
  std::map<std::string, std::string> queryParameters;
};

}  // namespace quorvel::http
