// Backup, restore and removal of the certificate, key and chain files as one set.
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <boost/filesystem/operations.hpp>
#include <climits>
#include <cstring>

#include "common/openssl/CertManager.h"
#include "common/openssl/OpenSslSupport.h"
#include "common/utils/FileSetWriter.h"

namespace quorvel::certificate {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("CertManager");

namespace {

struct Copy {
  const std::string& source;
  const std::string& target;
  mode_t mode;
};

void logCopyFailure(const std::string& source, const std::string& target, int error, const std::string& logPrefix) {
  LOG4CPLUS_ERROR(logger, logPrefix + "boost::filesystem::copy_file failed with error message: " +
                              std::strerror(error) + " for file '" + source + "' and file '" + target + "' !");
}

// Copying a file onto itself would destroy it: refuse before touching anything.
bool distinct(const std::vector<Copy>& copies, const std::string& logPrefix) {
  for (const Copy& copy : copies) {
    boost::system::error_code ec;
    if (copy.source == copy.target || boost::filesystem::equivalent(copy.source, copy.target, ec)) {
      LOG4CPLUS_ERROR(logger, logPrefix + "Cannot copy file '" + copy.source + "' onto itself ('" + copy.target +
                                  "'), aborting!");
      return false;
    }
  }
  return true;
}

// All copies take effect together or none does.
bool copyAll(const std::vector<Copy>& copies, const std::string& logPrefix) {
  utils::FileSetWriter files;
  for (const Copy& copy : copies) {
    std::vector<char> content;
    int error = 0;
    FileRead read = readWholeFile(copy.source, LONG_MAX, content, error);
    if (read != FileRead::Ok && read != FileRead::Empty) {
      logCopyFailure(copy.source, copy.target, read == FileRead::OpenFailed ? error : EINVAL, logPrefix);
      return false;
    }
    if (!files.add(copy.target, content.data(), content.size(), copy.mode)) {
      logCopyFailure(copy.source, copy.target, files.error(), logPrefix);
      return false;
    }
  }
  if (!files.commit()) {
    for (const Copy& copy : copies) {
      if (copy.target == files.failedPath()) logCopyFailure(copy.source, copy.target, files.error(), logPrefix);
    }
    return false;
  }
  return true;
}

// False when the file is still there afterwards.
bool removeFile(const std::string& path, const std::string& logPrefix) {
  boost::system::error_code ec;
  boost::filesystem::remove(path, ec);
  if (ec) {
    LOG4CPLUS_WARN(logger, logPrefix + "boost::filesystem::remove failed with error message: " + ec.message() +
                               " for file " + path);
    return false;
  }
  return true;
}

bool present(const std::string& path, const char* missing, const char* aborting, const std::string& logPrefix) {
  if (fileExists(path)) return true;
  LOG4CPLUS_ERROR(logger, logPrefix + missing + path + aborting);
  return false;
}

}  // namespace

bool CertManager::backupCertificate(const std::string& certFile, const std::string& keyFile,
                                    const std::string& chainFile, const std::string& certBackupFile,
                                    const std::string& keyBackupFile, const std::string& chainBackupFile,
                                    const std::string& logPrefix) {
  if (!present(certFile, "Backup cannot find cert file '", "', aborting backup!", logPrefix) ||
      !present(keyFile, "Backup cannot find key file '", "', aborting backup!", logPrefix)) {
    return false;
  }
  std::vector<Copy> copies{{certFile, certBackupFile, kPublicFileMode}, {keyFile, keyBackupFile, kKeyFileMode}};
  bool withChain = fileExists(chainFile);
  if (withChain) copies.push_back({chainFile, chainBackupFile, kPublicFileMode});
  if (!distinct(copies, logPrefix)) return false;

  const struct {
    const std::string& path;
    const char* text;
  } backups[] = {{certBackupFile, "Backup overwrites already present cert backup file '"},
                 {keyBackupFile, "Backup overwrites already present key backup file '"},
                 {chainBackupFile, "Backup overwrites or deletes already present chain backup file '"}};
  for (const auto& backup : backups) {
    if (fileExists(backup.path)) LOG4CPLUS_WARN(logger, logPrefix + backup.text + backup.path + "'!");
  }
  if (!copyAll(copies, logPrefix)) return false;
  // The backup set has no chain either.
  return withChain || !fileExists(chainBackupFile) || removeFile(chainBackupFile, logPrefix);
}

bool CertManager::restoreCertificate(const std::string& certFile, const std::string& keyFile,
                                     const std::string& chainFile, const std::string& certBackupFile,
                                     const std::string& keyBackupFile, const std::string& chainBackupFile,
                                     const std::string& logPrefix) {
  if (!present(certBackupFile, "Cannot find backup cert file '", "', aborting restore!", logPrefix) ||
      !present(keyBackupFile, "Cannot find backup key file '", "', aborting restore!", logPrefix)) {
    return false;
  }
  std::vector<Copy> copies{{certBackupFile, certFile, kPublicFileMode}, {keyBackupFile, keyFile, kKeyFileMode}};
  bool withChain = fileExists(chainBackupFile);
  if (withChain) copies.push_back({chainBackupFile, chainFile, kPublicFileMode});
  if (!distinct(copies, logPrefix) || !copyAll(copies, logPrefix)) return false;

  bool removed = withChain || !fileExists(chainFile) || removeFile(chainFile, logPrefix);
  for (const Copy& copy : copies) removed = removeFile(copy.source, logPrefix) && removed;
  return removed;
}

bool CertManager::removeCertificate(const std::string& certFile, const std::string& keyFile,
                                    const std::string& chainFile, const std::string& logPrefix) {
  bool removed = removeFile(certFile, logPrefix);
  removed = removeFile(keyFile, logPrefix) && removed;
  return (!fileExists(chainFile) || removeFile(chainFile, logPrefix)) && removed;
}

}  // namespace quorvel::certificate
