// A scratch directory removed again at the end of the test.
#pragma once

#include <boost/filesystem.hpp>

#include <fstream>
#include <sstream>
#include <string>

namespace quorvel::testing {

class TempDir {
 public:
  TempDir()
      : path(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("nimbrel-app-%%%%-%%%%-%%%%")) {
    boost::filesystem::create_directories(path);
  }
  ~TempDir() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const { return (path / name).string(); }
  std::string str() const { return path.string(); }

  boost::filesystem::path path;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace quorvel::testing
