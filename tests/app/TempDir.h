// A scratch directory removed again at the end of the test.
#pragma once

#include <boost/filesystem.hpp>

#include <fstream>
#include <sstream>
#include <string>

namespace quorvel::testing {

struct TempDir {
  TempDir() { boost::filesystem::create_directories(path); }
  TempDir(const TempDir&) = delete;
  ~TempDir() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path, ignored);
  }
  std::string file(const std::string& name) const { return (path / name).string(); }
  std::string str() const { return path.string(); }

  const boost::filesystem::path path =
      boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("nimbrel-app-%%%%-%%%%-%%%%");
};

inline std::string readFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace quorvel::testing
