#include "common/http/ContentDisposition.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <string>

#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

using quorvel::testing::LogCapture;

const std::string kPrefix = "[cid:9]  ";

TEST(ContentDisposition, TypeAndEveryParameter) {
  LogCapture capture;
  ContentDisposition d;
  EXPECT_TRUE(d.parseContentDisposition("attachment; filename=\"report.pdf\"; creation-date=\"Wed, 12 Feb 1997 "
                                        "16:29:51 -0500\"; modification-date=\"Sun, 06 Nov 1994 08:49:37 GMT\"; "
                                        "read-date=Thu; size=42kB",
                                        kPrefix));
  // Dates stay text, only the surrounding quotes go.
  EXPECT_EQ(d.getDispositionType() + "|" + d.getFilename() + "|" + d.getCreationDate() + "|" +
                d.getModificationDate() + "|" + d.getReadDate() + "|" + std::to_string(d.getSize()),
            "attachment|report.pdf|Wed, 12 Feb 1997 16:29:51 -0500|Sun, 06 Nov 1994 08:49:37 GMT|Thu|42");
  EXPECT_TRUE(capture.lines().empty());
}

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
