#pragma once

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvel::authentication {

// Identity of one connection, shared by its transport, the connection and its
// HTTP messages; every log line about the connection starts with toString().
class AuthInfo {
 public:
  AuthInfo() = default;
  virtual ~AuthInfo() = default;
  AuthInfo(const AuthInfo&) = delete;
  AuthInfo& operator=(const AuthInfo&) = delete;

  virtual bool isAuthenticated();
  // An empty token only checks the expiry. A wrong token or a passed expiry
  // resets the record.
  virtual bool isValid(const std::string& token);
  virtual bool getFirstFlag();
  virtual void setConnectionId(const std::string& id);
  virtual void setAuthenticated(std::string userName, std::vector<std::string> groups, std::string token,
                                time_t expiry, bool firstFlag, bool secondFlag);
  // Drops the identity; the connection id stays.
  virtual void reset();
  virtual std::string getToken();
  virtual bool getSecondFlag();
  virtual std::string getUserName();
  virtual std::vector<std::string> getGroups();
  virtual bool isMemberOf(const std::vector<std::string>& names, bool userOnly);
  // Log prefix: "[cid:N]  " or, once authenticated, "[cid:N u:user]  " (" s:" with the second flag).
  virtual std::string toString();
  virtual time_t getExpiry();

 private:
  static constexpr time_t kNoExpiry = -1;

  std::atomic<bool> authenticated{false};
  std::atomic<bool> firstFlag{false};
  std::atomic<bool> secondFlag{false};
  std::string userName;
  std::vector<std::string> groups;
  std::string token;
  std::atomic<time_t> expiry{kNoExpiry};
  std::mutex mutex;
  std::string cachedPrefix;
  bool authenticatedPrefixBuilt = false;
  bool unauthenticatedPrefixBuilt = false;
  std::string connectionId;
};

using AuthInfoPtr = std::shared_ptr<AuthInfo>;

}  // namespace quorvel::authentication
