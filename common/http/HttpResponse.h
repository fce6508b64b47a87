#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "common/http/ContentDisposition.h"
#include "common/http/HttpHeader.h"
#include "common/http/StatusCode.h"
#include "common/utils/IoCallback.h"

namespace quorvel::http {

// A response: the shared header fields plus status, charset, body with its
// compression flags, the response-only headers and a callback for when the
// response has been written. Reused across requests through clear().
class HttpResponse : public HttpHeader {
 public:
  HttpResponse(AuthInfoPtr&& authInfo, StatusCode code, std::string&& contentType, std::string&& charset);

  HttpResponse(HttpResponse&&) = default;
  HttpResponse& operator=(HttpResponse&&) = default;

  // Back to 200 with nothing set; keeps Replay-Nonce and what the base keeps.
  void clear() override;

  virtual StatusCode getStatusCode() const;
  virtual void setStatusCode(StatusCode code);
  // Always matches the current code, e.g. "404 Not Found" or "299 Unknown Code".
  virtual const std::string& getStatusText() const;

  virtual const std::string& getCharset() const;
  virtual void setCharset(std::string&& value);

  virtual const std::string& getBody() const;
  // Sets the content length to the body's size; throws std::length_error for a
  // body of 4 GiB or more (record unchanged).
  virtual void setBody(std::string&& body, bool compressionAllowed, bool bodyCompressed);
  // Hands the body over without a copy; the record keeps its length and flags.
  std::string takeBody() { return std::exchange(body, std::string()); }
  virtual bool isCompressionAllowed() const;
  virtual bool isBodyCompressed() const;

  virtual void clearWWWAuthenticate();
  virtual void addWWWAuthenticate(const std::string& value);
  virtual void setWWWAuthenticateList(const std::vector<std::string>& values);
  virtual const std::vector<std::string>& getWWWAuthenticateList() const;

  virtual bool hasPersistentAuth() const;
  virtual bool getPersistentAuth() const;
  virtual void setPersistentAuth(bool value);

  virtual bool hasVary() const;
  virtual const std::string& getVary() const;
  virtual void setVary(std::string&& value);

  virtual bool hasContentDisposition() const;
  virtual const std::string& getContentDisposition() const;
  // With parse set, also takes the value apart into getParsedContentDisposition().
  virtual void setContentDisposition(std::string&& value, bool parse);
  virtual const ContentDisposition& getParsedContentDisposition() const;

  // True when one Transfer-Encoding element is "chunked", ignoring case.
  virtual bool isChunked() const;

  virtual void setWriteCompletion(transport::IoCallback&& callback);
  virtual transport::IoCallback getWriteCompletion() const;

  virtual const std::string& getExpires() const;
  virtual time_t getExpiresTime() const;
  virtual bool hasExpires() const;
  virtual void setExpires(std::string&& value);
  virtual void setExpiresTime(time_t value);

  virtual const std::string& getLastModified() const;
  virtual time_t getLastModifiedTime() const;
  virtual bool hasLastModified() const;
  virtual void setLastModified(std::string&& value);
  virtual void setLastModifiedTime(time_t value);

  virtual void updateStatusText() const;

  const std::string& getAllow() const;
  void setAllow(std::string&& value);
  void addAllow(const std::string& value);
  void setAllowList(const std::vector<std::string>& values);
  bool hasAllow() const;
  std::vector<std::string> getAllowList() const;

  const std::string& getAccessControlAllowOrigin() const;
  void setAccessControlAllowOrigin(std::string&& value);
  void addAccessControlAllowOrigin(const std::string& value);
  void setAccessControlAllowOriginList(const std::vector<std::string>& values);
  bool hasAccessControlAllowOrigin() const;
  std::vector<std::string> getAccessControlAllowOriginList() const;

  const std::string& getAccessControlAllowMethods() const;
  void setAccessControlAllowMethods(std::string&& value);
  void addAccessControlAllowMethods(const std::string& value);
  void setAccessControlAllowMethodsList(const std::vector<std::string>& values);
  bool hasAccessControlAllowMethods() const;
  std::vector<std::string> getAccessControlAllowMethodsList() const;

  const std::string& getAccessControlAllowHeaders() const;
  void setAccessControlAllowHeaders(std::string&& value);
  void addAccessControlAllowHeaders(const std::string& value);
  void setAccessControlAllowHeadersList(const std::vector<std::string>& values);
  bool hasAccessControlAllowHeaders() const;
  std::vector<std::string> getAccessControlAllowHeadersList() const;

  const std::string& getAccessControlMaxAge() const;
  void setAccessControlMaxAge(std::string&& value);
  void addAccessControlMaxAge(const std::string& value);
  void setAccessControlMaxAgeList(const std::vector<std::string>& values);
  bool hasAccessControlMaxAge() const;
  std::vector<std::string> getAccessControlMaxAgeList() const;

  const std::string& getAccessControlExposeHeaders() const;
  void setAccessControlExposeHeaders(std::string&& value);
  void addAccessControlExposeHeaders(const std::string& value);
  void setAccessControlExposeHeadersList(const std::vector<std::string>& values);
  bool hasAccessControlExposeHeaders() const;
  std::vector<std::string> getAccessControlExposeHeadersList() const;

  const std::string& getAcceptCH() const;
  void setAcceptCH(std::string&& value);
  void addAcceptCH(const std::string& value);
  void setAcceptCHList(const std::vector<std::string>& values);
  bool hasAcceptCH() const;
  std::vector<std::string> getAcceptCHList() const;

  const std::string& getLink() const;
  void setLink(std::string&& value);
  void addLink(const std::string& value);
  void setLinkList(const std::vector<std::string>& values);
  bool hasLink() const;
  std::vector<std::string> getLinkList() const;

  const std::string& getAccessControlAllowCredentials() const;
  void setAccessControlAllowCredentials(std::string&& value);
  bool hasAccessControlAllowCredentials() const;
  const std::string& getSecWebSocketAccept() const;
  void setSecWebSocketAccept(std::string&& value);
  bool hasSecWebSocketAccept() const;
  const std::string& getServer() const;
  void setServer(std::string&& value);
  bool hasServer() const;
  const std::string& getAcceptRanges() const;
  void setAcceptRanges(std::string&& value);
  bool hasAcceptRanges() const;
  const std::string& getETag() const;
  void setETag(std::string&& value);
  bool hasETag() const;
  const std::string& getReplayNonce() const;
  void setReplayNonce(std::string&& value);
  bool hasReplayNonce() const;
  const std::string& getLocation() const;
  void setLocation(std::string&& value);
  bool hasLocation() const;
  const std::string& getStrictTransportSecurity() const;
  void setStrictTransportSecurity(std::string&& value);
  bool hasStrictTransportSecurity() const;
  const std::string& getXFrameOptions() const;
  void setXFrameOptions(std::string&& value);
  bool hasXFrameOptions() const;

 private:
  std::string secWebSocketAccept;
  std::string server;
  std::string acceptRanges;
  std::string etag;
  std::string allow;
  std::string accessControlAllowOrigin;
  std::string accessControlAllowCredentials;
  std::string accessControlAllowMethods;
  std::string accessControlAllowHeaders;
  std::string accessControlMaxAge;
  std::string accessControlExposeHeaders;
  std::string acceptCH;
  std::string link;
  std::string replayNonce;
  std::string location;
  std::string strictTransportSecurity;
  std::string xFrameOptions;
  DatePair expires;
  DatePair lastModified;
  StatusCode statusCode;
  mutable std::string statusText;
  std::string charset;
  std::vector<std::string> wwwAuthenticate;
  std::string body;
  bool compressionAllowed = false;
  bool bodyCompressed = false;
  bool persistentAuthSet = false;
  bool persistentAuth = false;
  std::string vary;
  std::string contentDisposition;
  transport::IoCallback writeCompletion;
  ContentDisposition parsedContentDisposition;
};

}  // namespace quorvel::http
