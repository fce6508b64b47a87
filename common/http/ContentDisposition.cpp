#include "common/http/ContentDisposition.h"

#include <boost/filesystem/path.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/http/HeaderText.h"

namespace quorvel::http {

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance("ContentDisposition");

using headertext::equalsIgnoreCase;
using headertext::trim;

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// The last path component, so a peer cannot point a save outside the chosen
// directory. Leading slashes go first: "//name" would be read as a root
// name and kept whole. Names that still mean a directory ("." "..") are no name.
std::string fileNameOf(std::string_view value) {
  value = trim(value);
  value.remove_prefix(std::min(value.find_first_not_of('/'), value.size()));
  std::string name = boost::filesystem::path(std::string(value)).filename().string();
  if (name == "." || name == "..") return {};
  return name;
}

}  // namespace

bool ContentDisposition::isParsed() const { return parsed; }
std::string ContentDisposition::getDispositionType() const { return dispositionType; }
std::string ContentDisposition::getFilename() const { return filename; }
std::string ContentDisposition::getCreationDate() const { return creationDate; }
std::string ContentDisposition::getModificationDate() const { return modificationDate; }
std::string ContentDisposition::getReadDate() const { return readDate; }
std::uint64_t ContentDisposition::getSize() const { return size; }

void ContentDisposition::clear() {
  parsed = false;
  dispositionType.clear();
  filename.clear();
  creationDate.clear();
  modificationDate.clear();
  readDate.clear();
  size = 0;
}

bool ContentDisposition::parseContentDisposition(const std::string& value, const std::string& logPrefix) {
  parsed = true;
  std::string_view text = trim(value);
  if (text.find(';') == std::string_view::npos) {
    dispositionType = text;
    return true;
  }

  std::vector<std::string_view> pieces = split(text, ';');
  dispositionType = trim(pieces.front());
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::string_view piece = pieces[i];
    std::vector<std::string_view> parts = split(piece, '=');
    if (parts.size() != 2) {
      LOG4CPLUS_ERROR(logger, logPrefix << "not handled content-disposition parameter: '" << piece << "'");
      continue;
    }
    std::string_view name = trim(parts[0]);
    std::string_view parameter = trim(parts[1]);
    if (parameter.empty()) {
      LOG4CPLUS_ERROR(logger, logPrefix << "There was no parameter value for parameter : '" << name << "'");
      continue;
    }
    if (parameter.size() >= 2 && parameter.front() == '"' && parameter.back() == '"') {
      parameter = parameter.substr(1, parameter.size() - 2);
    }

    if (equalsIgnoreCase(name, "filename")) {
      filename = fileNameOf(parameter);
    } else if (equalsIgnoreCase(name, "filename*")) {
      LOG4CPLUS_ERROR(logger, logPrefix << "NOT IMPLEMENTED filename* (filename with encodings), ignoring for now, "
                                           "but needs implementation: '"
                                        << parameter << "'");
    } else if (equalsIgnoreCase(name, "creation-date")) {
      creationDate = parameter;
    } else if (equalsIgnoreCase(name, "modification-date")) {
      modificationDate = parameter;
    } else if (equalsIgnoreCase(name, "read-date")) {
      readDate = parameter;
    } else if (equalsIgnoreCase(name, "size")) {
      // Lenient on purpose: leading digits count, anything else reads as 0.
      size = static_cast<std::uint64_t>(std::strtol(std::string(parameter).c_str(), nullptr, 10));
    } else {
      LOG4CPLUS_ERROR(logger, logPrefix << "Parameter '" << name << "' with value '" << parameter
                                        << "' was not recognized!");
    }
  }
  return true;
}

}  // namespace quorvel::http
