#include "common/utils/FileSetWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <set>

namespace quorvel::utils {

namespace {

// A name clash with a foreign temporary file is retried this often before
// giving up; with 64 random bits it practically never happens twice.
constexpr int kTemporaryNameAttempts = 16;

std::string uniqueName(const std::string& target, const char* kind) {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  char suffix[40];
  std::snprintf(suffix, sizeof(suffix), ".%s-%016llx", kind, static_cast<unsigned long long>(generator()));
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

// Saving through a symbolic link keeps the link and replaces what it names.
std::string resolvedTarget(const std::string& target) {
  struct stat info {};
  char resolved[PATH_MAX];
  if (::lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && ::realpath(target.c_str(), resolved) != nullptr) {
    return resolved;
  }
  return target;
}

std::string parentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Keeps the old target reachable under a fresh name; "" when there is none.
bool linkAside(const std::string& target, std::string& previous) {
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::string name = uniqueName(target, "old");
    if (::link(target.c_str(), name.c_str()) == 0) {
      previous = std::move(name);
      return true;
    }
    if (errno == ENOENT) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

FileSetWriter::~FileSetWriter() { discard(); }

bool FileSetWriter::fail(Stage failed, const std::string& target, int err) {
  stage = failed;
  failedTarget = target;
  lastError = err != 0 ? err : EIO;
  return false;
}

void FileSetWriter::discard() {
  for (const Pending& file : pending) {
    if (!file.temporary.empty()) ::unlink(file.temporary.c_str());
    if (!file.previous.empty()) ::unlink(file.previous.c_str());
  }
  pending.clear();
}

bool FileSetWriter::add(const std::string& requested, const char* data, size_t length, mode_t mode) {
  std::string target = resolvedTarget(requested);
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && fd < 0; ++attempt) {
    temporary = uniqueName(target, "tmp");
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(Stage::Open, requested, currentErrno());

  // The file exists now: from here on a failure must remove it.
  bool ok = writeAll(fd, data, length) && ::fsync(fd) == 0;
  int err = ok ? 0 : currentErrno();
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = currentErrno();
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return fail(Stage::Write, requested, err);
  }
  pending.push_back({requested, std::move(target), std::move(temporary), {}});
  return true;
}

void FileSetWriter::rollBack(size_t renamed) {
  for (size_t i = 0; i < renamed; ++i) {
    Pending& file = pending[i];
    if (file.previous.empty()) {
      ::unlink(file.target.c_str());
    } else {
      // Should putting it back fail, the old file at least stays under its aside name.
      ::rename(file.previous.c_str(), file.target.c_str());
      file.previous.clear();
    }
  }
}

bool FileSetWriter::commit() {
  // A target that cannot be linked (a directory, say) fails here, before any rename.
  for (Pending& file : pending) {
    if (!linkAside(file.target, file.previous)) {
      int err = currentErrno();
      std::string target = file.requested;
      discard();
      return fail(Stage::Rename, target, err);
    }
  }
  for (size_t i = 0; i < pending.size(); ++i) {
    if (::rename(pending[i].temporary.c_str(), pending[i].target.c_str()) != 0) {
      int err = currentErrno();
      std::string target = pending[i].requested;
      rollBack(i);
      discard();
      return fail(Stage::Rename, target, err);
    }
    pending[i].temporary.clear();
  }
  std::set<std::string> directories;
  for (const Pending& file : pending) {
    if (!file.previous.empty()) ::unlink(file.previous.c_str());
    directories.insert(parentDirectory(file.target));
  }
  pending.clear();
  // Make the renames themselves durable; the new files are in place either way.
  for (const std::string& directory : directories) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      ::fsync(fd);
      ::close(fd);
    }
  }
  return true;
}

}  // namespace quorvel::utils
