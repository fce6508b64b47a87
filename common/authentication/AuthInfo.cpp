#include "common/authentication/AuthInfo.h"

#include <algorithm>
#include <utility>

namespace quorvel::authentication {

bool AuthInfo::isAuthenticated() { return authenticated.load(); }

bool AuthInfo::getFirstFlag() { return firstFlag.load(); }

bool AuthInfo::getSecondFlag() { return secondFlag.load(); }

time_t AuthInfo::getExpiry() { return expiry.load(); }

bool AuthInfo::isValid(const std::string& givenToken) {
  if (!isAuthenticated()) {
    return false;
  }
  const time_t validUntil = expiry.load();
  if (validUntil > 0 && time(nullptr) > validUntil) {
    reset();
    return false;
  }
  if (givenToken.empty()) {
    return true;
  }
  bool matches;
  {
    std::lock_guard<std::mutex> lock(mutex);
    matches = givenToken == token;
  }
  // reset() takes the mutex itself.
  if (!matches) {
    reset();
  }
  return matches;
}

void AuthInfo::setConnectionId(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex);
  connectionId = id;
  authenticatedPrefixBuilt = false;
  unauthenticatedPrefixBuilt = false;
}

void AuthInfo::setAuthenticated(std::string newUserName, std::vector<std::string> newGroups, std::string newToken,
                                time_t newExpiry, bool newFirstFlag, bool newSecondFlag) {
  std::lock_guard<std::mutex> lock(mutex);
  firstFlag = newFirstFlag;
  secondFlag = newSecondFlag;
  userName = std::move(newUserName);
  groups = std::move(newGroups);
  token = std::move(newToken);
  authenticatedPrefixBuilt = false;
  unauthenticatedPrefixBuilt = false;
  authenticated = true;
  expiry = newExpiry;
}

void AuthInfo::reset() {
  std::lock_guard<std::mutex> lock(mutex);
  authenticated = false;
  firstFlag = false;
  secondFlag = false;
  userName.clear();
  groups.clear();
  token.clear();
  expiry = kNoExpiry;
  authenticatedPrefixBuilt = false;
  unauthenticatedPrefixBuilt = false;
}

std::string AuthInfo::getToken() {
  std::lock_guard<std::mutex> lock(mutex);
  return token;
}

std::string AuthInfo::getUserName() {
  std::lock_guard<std::mutex> lock(mutex);
  return userName;
}

std::vector<std::string> AuthInfo::getGroups() {
  std::lock_guard<std::mutex> lock(mutex);
  return groups;
}

bool AuthInfo::isMemberOf(const std::vector<std::string>& names, bool userOnly) {
  if (secondFlag.load()) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (std::find(names.begin(), names.end(), userName) != names.end()) {
    return true;
  }
  if (userOnly) {
    return false;
  }
  return std::any_of(groups.begin(), groups.end(), [&names](const std::string& group) {
    return std::find(names.begin(), names.end(), group) != names.end();
  });
}

std::string AuthInfo::toString() {
  std::lock_guard<std::mutex> lock(mutex);
  // Writers change the flag only under the mutex, so it cannot move while the prefix is built.
  const bool asUser = isAuthenticated();
  if (asUser ? authenticatedPrefixBuilt : unauthenticatedPrefixBuilt) {
    return cachedPrefix;
  }
  if (asUser) {
    cachedPrefix = "[" + connectionId + (secondFlag.load() ? " s:" : " u:") + userName + "]  ";
  } else {
    cachedPrefix = "[" + connectionId + "]  ";
  }
  authenticatedPrefixBuilt = asUser;
  unauthenticatedPrefixBuilt = !asUser;
  return cachedPrefix;
}

}  // namespace quorvel::authentication
