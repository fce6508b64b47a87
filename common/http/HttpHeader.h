#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "common/authentication/AuthInfo.h"

namespace quorvel::http {

using quorvel::authentication::AuthInfoPtr;

// Common base of HttpRequest and HttpResponse: request line parts, content
// length and the headers both share. Every known header is its own field;
// values are stored exactly as received or set. A list header is one text
// with its elements joined by ",".
class HttpHeader {
 public:
  HttpHeader(AuthInfoPtr&& authInfo, std::string&& contentType, std::string&& httpVersion);
  HttpHeader(AuthInfoPtr&& authInfo, std::string&& method, std::string&& path, std::string&& httpVersion);

  // Records are moved between owners, never copied.
  HttpHeader(const HttpHeader&) = delete;
  HttpHeader& operator=(const HttpHeader&) = delete;
  HttpHeader(HttpHeader&&) = default;
  HttpHeader& operator=(HttpHeader&&) = default;

  virtual ~HttpHeader();

  virtual const std::string& getAccept() const;
  virtual std::vector<std::string> getAcceptList() const;
  virtual bool hasAccept() const;
  virtual void setAccept(std::string&& value);
  virtual void addAccept(const std::string& value);
  virtual void setAcceptList(const std::vector<std::string>& values);

  virtual const std::string& getAcceptEncoding() const;
  virtual std::vector<std::string> getAcceptEncodingList() const;
  virtual bool hasAcceptEncoding() const;
  virtual void setAcceptEncoding(std::string&& value);
  virtual void addAcceptEncoding(const std::string& value);
  virtual void setAcceptEncodingList(const std::vector<std::string>& values);

  virtual const std::string& getAcceptLanguage() const;
  virtual std::vector<std::string> getAcceptLanguageList() const;
  virtual bool hasAcceptLanguage() const;
  virtual void setAcceptLanguage(std::string&& value);
  virtual void addAcceptLanguage(const std::string& value);
  virtual void setAcceptLanguageList(const std::vector<std::string>& values);

  virtual const std::string& getConnection() const;
  virtual std::vector<std::string> getConnectionList() const;
  virtual bool hasConnection() const;
  virtual void setConnection(std::string&& value);
  virtual void addConnection(const std::string& value);
  virtual void setConnectionList(const std::vector<std::string>& values);

  virtual const std::string& getCacheControl() const;
  virtual std::vector<std::string> getCacheControlList() const;
  virtual bool hasCacheControl() const;
  virtual void setCacheControl(std::string&& value);
  virtual void addCacheControl(const std::string& value);
  virtual void setCacheControlList(const std::vector<std::string>& values);

  virtual const std::string& getPragma() const;
  virtual std::vector<std::string> getPragmaList() const;
  virtual bool hasPragma() const;
  virtual void setPragma(std::string&& value);
  virtual void addPragma(const std::string& value);
  virtual void setPragmaList(const std::vector<std::string>& values);

  virtual const std::string& getTransferEncoding() const;
  virtual std::vector<std::string> getTransferEncodingList() const;
  virtual bool hasTransferEncoding() const;
  virtual void setTransferEncoding(std::string&& value);
  virtual void addTransferEncoding(const std::string& value);
  virtual void setTransferEncodingList(const std::vector<std::string>& values);

  virtual const std::string& getUpgrade() const;
  virtual std::vector<std::string> getUpgradeList() const;
  virtual bool hasUpgrade() const;
  virtual void setUpgrade(std::string&& value);
  virtual void addUpgrade(const std::string& value);
  virtual void setUpgradeList(const std::vector<std::string>& values);

  virtual const std::string& getSecWebSocketVersion() const;
  virtual std::vector<std::string> getSecWebSocketVersionList() const;
  virtual bool hasSecWebSocketVersion() const;
  virtual void setSecWebSocketVersion(std::string&& value);
  virtual void addSecWebSocketVersion(const std::string& value);
  virtual void setSecWebSocketVersionList(const std::vector<std::string>& values);

  virtual const std::string& getSecWebSocketProtocol() const;
  virtual std::vector<std::string> getSecWebSocketProtocolList() const;
  virtual bool hasSecWebSocketProtocol() const;
  virtual void setSecWebSocketProtocol(std::string&& value);
  virtual void addSecWebSocketProtocol(const std::string& value);
  virtual void setSecWebSocketProtocolList(const std::vector<std::string>& values);

  virtual const std::string& getSecWebSocketExtensions() const;
  virtual std::vector<std::string> getSecWebSocketExtensionsList() const;
  virtual bool hasSecWebSocketExtensions() const;
  virtual void setSecWebSocketExtensions(std::string&& value);
  virtual void addSecWebSocketExtensions(const std::string& value);
  virtual void setSecWebSocketExtensionsList(const std::vector<std::string>& values);

  virtual const std::string& getSecWebSocketKey() const;
  virtual std::vector<std::string> getSecWebSocketKeyList() const;
  virtual bool hasSecWebSocketKey() const;
  virtual void setSecWebSocketKey(std::string&& value);
  virtual void addSecWebSocketKey(const std::string& value);
  virtual void setSecWebSocketKeyList(const std::vector<std::string>& values);

  virtual const std::string& getContentType() const;
  virtual bool hasContentType() const;
  virtual void setContentType(std::string&& value);

  // Date is kept as text or as time; setting one form clears the other and
  // the getters convert on demand, treating a failed conversion as no date.
  virtual const std::string& getDate() const;
  virtual time_t getDateTime() const;
  virtual bool hasDate() const;
  virtual void setDate(std::string&& value);
  virtual void setDateTime(time_t value);

  virtual const std::string& getXForwardedFor() const;
  virtual std::vector<std::string> getXForwardedForList() const;
  virtual bool hasXForwardedFor() const;
  virtual void setXForwardedFor(std::string&& value);
  virtual void addXForwardedFor(const std::string& value);
  virtual void setXForwardedForList(const std::vector<std::string>& values);

  virtual std::string getLogPrefix() const;
  virtual const AuthInfoPtr& getAuthInfo() const;

  virtual const std::string& getPath() const;
  virtual const std::string& getHttpVersion() const;
  virtual std::uint32_t getContentLength() const;
  virtual const std::string& getAuthorization() const;
  virtual const std::string& getCookieHeader() const;

  // Throws CookieException "Cookie not found" when absent.
  virtual const std::string& getCookie(const std::string& name) const;
  virtual bool hasCookie(const std::string& name) const;
  virtual bool hasCookieHeader() const;

  virtual const std::string& getMethod() const;
  virtual const std::string& getRdgConnectionId() const;
  virtual const std::string& getRdgCorrelationId() const;
  virtual const std::string& getRdgUserId() const;
  virtual const std::string& getSecFetchDest() const;
  virtual const std::string& getSecFetchMode() const;
  virtual const std::string& getSecFetchSite() const;
  virtual const std::string& getSecFetchUser() const;

  virtual void setMethod(std::string&& value);
  // Drops one trailing "/": "/a/" becomes "/a", "/" becomes "".
  virtual void setPath(std::string&& value);
  virtual void setHttpVersion(std::string&& value);
  virtual void setContentLength(std::uint32_t value);
  virtual void setAuthorization(std::string&& value);
  // Parses the cookies into the cookie map (adding to what is there), then
  // keeps the text as the raw cookie header.
  virtual void setCookieHeader(std::string&& value);
  virtual void setRdgConnectionId(std::string&& value);
  virtual void setRdgCorrelationId(std::string&& value);
  virtual void setRdgUserId(std::string&& value);
  virtual void setSecFetchDest(std::string&& value);
  virtual void setSecFetchMode(std::string&& value);
  virtual void setSecFetchSite(std::string&& value);
  virtual void setSecFetchUser(std::string&& value);

  virtual void setSendContentLength(bool value);
  virtual bool getSendContentLength() const;

  // Leaves Upgrade, the Sec-WebSocket fields, X-Forwarded-For and the
  // identity record alone.
  virtual void clear();

  virtual void parseCookies(const std::string& text);

 protected:
  // A date header held as text or as time, whichever was set last; the
  // other form is computed once, on first read.
  class DatePair {
   public:
    const std::string& getText() const;
    time_t getTime() const;
    bool has() const { return !text.empty() || time != 0; }
    void setText(std::string&& value);
    void setTime(time_t value);
    void clear();

   private:
    mutable std::string text;
    mutable time_t time = 0;
  };

  // Helpers of the comma-separated list headers, shared with the subclasses.
  static std::vector<std::string> splitList(const std::string& value);
  static void addToList(std::string& field, const std::string& value);
  static void setList(std::string& field, const std::vector<std::string>& values);
  // The Content-Length a body of this size announces; throws std::length_error
  // for 4 GiB or more, which the 32-bit field cannot describe.
  static std::uint32_t bodyContentLength(std::size_t size);

 private:
  std::string accept;
  std::string acceptEncoding;
  std::string acceptLanguage;
  std::string connection;
  std::string cacheControl;
  std::string pragma;
  std::string transferEncoding;
  std::string upgrade;
  std::string secWebSocketVersion;
  std::string secWebSocketProtocol;
  std::string secWebSocketExtensions;
  std::string secWebSocketKey;
  std::string contentType;
  DatePair date;
  std::string xForwardedFor;
  AuthInfoPtr authInfo;
  std::string method;
  std::string path;
  std::string httpVersion;
  std::uint32_t contentLength = 0;
  std::string authorization;
  std::map<std::string, std::string> cookies;
  std::string cookieHeader;
  std::string rdgConnectionId;
  std::string rdgCorrelationId;
  std::string rdgUserId;
  std::string secFetchDest;
  std::string secFetchMode;
  std::string secFetchSite;
  std::string secFetchUser;
  bool sendContentLength = true;
  std::string fallbackLogPrefix;
};

}  // namespace quorvel::http
