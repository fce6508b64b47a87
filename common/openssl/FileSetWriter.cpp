#include "common/openssl/FileSetWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace quorvel::certificate {

namespace {

// A name clash with a foreign temporary file is retried this often before
// giving up; with 64 random bits it practically never happens twice.
constexpr int kTemporaryNameAttempts = 16;

std::string temporaryName(const std::string& target) {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), ".tmp-%016llx", static_cast<unsigned long long>(generator()));
  return target + suffix;
}

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

int currentErrno() { return errno != 0 ? errno : EIO; }

}  // namespace

FileSetWriter::~FileSetWriter() { discard(); }

bool FileSetWriter::fail(Stage failed, const std::string& target, int err) {
  stage = failed;
  failedTarget = target;
  lastError = err != 0 ? err : EIO;
  return false;
}

void FileSetWriter::discard() {
  for (const Pending& file : pending) ::unlink(file.temporary.c_str());
  pending.clear();
}

bool FileSetWriter::add(const std::string& target, const char* data, size_t length, mode_t mode) {
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && fd < 0; ++attempt) {
    temporary = temporaryName(target);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(Stage::Open, target, currentErrno());

  // The file exists now: from here on a failure must remove it.
  bool ok = writeAll(fd, data, length) && ::fsync(fd) == 0;
  int err = ok ? 0 : currentErrno();
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = currentErrno();
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return fail(Stage::Write, target, err);
  }
  pending.push_back({target, std::move(temporary)});
  return true;
}

bool FileSetWriter::commit() {
  for (size_t i = 0; i < pending.size(); ++i) {
    if (::rename(pending[i].temporary.c_str(), pending[i].target.c_str()) != 0) {
      int err = currentErrno();
      for (size_t done = 0; done < i; ++done) ::unlink(pending[done].target.c_str());
      std::string target = pending[i].target;
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(i));
      discard();
      return fail(Stage::Rename, target, err);
    }
  }
  pending.clear();
  return true;
}

}  // namespace quorvel::certificate
