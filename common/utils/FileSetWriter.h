#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace quorvel::utils {

// Replaces a set of files together. Each file is first written in full to a
// temporary file beside its target and renamed into place only once every
// file of the set has been written; the old targets are kept aside as hard
// links until the last rename succeeded, so a failed commit puts every old
// file back. Whatever was not committed is removed on destruction.
class FileSetWriter {
 public:
  enum class Stage { None, Open, Write, Rename };

  FileSetWriter() = default;
  ~FileSetWriter();
  FileSetWriter(const FileSetWriter&) = delete;
  FileSetWriter& operator=(const FileSetWriter&) = delete;

  // mode is the permission set of the new file (still narrowed by the umask).
  // A target that is a symbolic link keeps the link: what it names is replaced.
  bool add(const std::string& target, const char* data, size_t length, mode_t mode);
  bool add(const std::string& target, const std::string& data, mode_t mode) {
    return add(target, data.data(), data.size(), mode);
  }

  // Renames the files in the order they were added and makes the renames
  // durable. On failure every target is as it was before the call.
  bool commit();

  // errno of the failure, never 0 after a failure.
  int error() const { return lastError; }
  Stage failedStage() const { return stage; }
  const std::string& failedPath() const { return failedTarget; }

 private:
  struct Pending {
    std::string requested;  // as the caller named it, for failure reports
    std::string target;
    std::string temporary;
    std::string previous;  // hard link to the old target, empty when there was none
  };

  bool fail(Stage failed, const std::string& target, int err);
  void rollBack(size_t renamed);
  void discard();

  std::vector<Pending> pending;
  int lastError = 0;
  Stage stage = Stage::None;
  std::string failedTarget;
};

}  // namespace quorvel::utils
