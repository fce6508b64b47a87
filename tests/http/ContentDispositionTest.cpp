#include "common/http/ContentDisposition.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvel::http {
namespace {

TEST(ContentDisposition, FileNameKeepsOnlyTheLastComponent) {
  const std::pair<const char*, const char*> cases[] = {
      {"attachment; filename=\"../../etc/x.txt\"; size=123", "x.txt"},
      {"attachment; FileName=\" a b.txt \"", "a b.txt"},
      // Names that would mean a directory are no name at all.
      {"attachment; filename=\"dir/\"", ""}, {"attachment; filename=.", ""}, {"attachment; filename=\"a/..\"", ""},
      // Leading slashes would otherwise be read as a root name and kept.
      {"attachment; filename=\"//etc\"", "etc"}, {"attachment; filename=//host/share/x", "x"},
      {"attachment; filename=\"///\"", ""},
  };
  for (const auto& [value, filename] : cases) {
    ContentDisposition d;
    d.parseContentDisposition("attachment; filename=replaced", "");
    d.parseContentDisposition(value, "");
    EXPECT_EQ(d.getFilename(), filename) << value;
  }
}

}  // namespace
}  // namespace quorvel::http
