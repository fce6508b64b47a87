#include "common/http/ContentDisposition.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <string>

#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

using quorvel::testing::LogCapture;

const std::string kPrefix = "[cid:9]  ";

ContentDisposition parsed(const std::string& value) {
  ContentDisposition disposition;
  EXPECT_TRUE(disposition.parseContentDisposition(value, kPrefix));
  EXPECT_TRUE(disposition.isParsed());
  return disposition;
}

TEST(ContentDisposition, TypeAlone) {
  LogCapture capture;
  EXPECT_EQ(parsed("  attachment \t").getDispositionType(), "attachment");
  EXPECT_EQ(parsed("Inline").getDispositionType(), "Inline");
  EXPECT_TRUE(capture.lines().empty());
}

TEST(ContentDisposition, AllParameters) {
  LogCapture capture;
  auto d = parsed(
      "attachment; filename=\"report.pdf\"; creation-date=\"Wed, 12 Feb 1997 16:29:51 -0500\"; "
      "modification-date=\"Sun, 06 Nov 1994 08:49:37 GMT\"; read-date=Thu; size=123");
  EXPECT_EQ(d.getDispositionType(), "attachment");
  EXPECT_EQ(d.getFilename(), "report.pdf");
  // Dates stay text, only the surrounding quotes go.
  EXPECT_EQ(d.getCreationDate(), "Wed, 12 Feb 1997 16:29:51 -0500");
  EXPECT_EQ(d.getModificationDate(), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(d.getReadDate(), "Thu");
  EXPECT_EQ(d.getSize(), 123u);
  EXPECT_TRUE(capture.lines().empty());
}

struct FileNameCase {
  const char* value;
  const char* filename;
};

class ContentDispositionFileName : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(ContentDispositionFileName, KeepsOnlyTheLastComponent) {
  EXPECT_EQ(parsed(GetParam().value).getFilename(), GetParam().filename);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ContentDispositionFileName,
    ::testing::Values(FileNameCase{"attachment; filename=\"../../etc/x.txt\"; size=123", "x.txt"},
                      FileNameCase{"attachment; filename=dir/sub/a.txt", "a.txt"},
                      FileNameCase{"attachment; FileName=\" a b.txt \"", "a b.txt"},
                      FileNameCase{"attachment; filename=/etc/passwd", "passwd"},
                      // Names that would mean a directory are no name at all.
                      FileNameCase{"attachment; filename=\"dir/\"", ""},
                      FileNameCase{"attachment; filename=.", ""},
                      FileNameCase{"attachment; filename=\"..\"", ""},
                      FileNameCase{"attachment; filename=\"a/..\"", ""},
                      FileNameCase{"attachment; filename=/", ""},
                      FileNameCase{"attachment; filename=\"\"", ""}));

TEST(ContentDisposition, UnusableNameReplacesAnEarlierOne) {
  ContentDisposition d;
  d.parseContentDisposition("attachment; filename=good.txt", "");
  d.parseContentDisposition("attachment; filename=../", "");
  EXPECT_EQ(d.getFilename(), "");
}

struct LoggedCase {
  const char* value;
  const char* error;  // expected ERROR message after the prefix
};

class ContentDispositionSkipped : public ::testing::TestWithParam<LoggedCase> {};

TEST_P(ContentDispositionSkipped, LogsOneErrorAndKeepsTheRest) {
  LogCapture capture;
  auto d = parsed(GetParam().value);
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].logger, "ContentDisposition");
  EXPECT_EQ(lines[0].level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(lines[0].message, kPrefix + GetParam().error);
  EXPECT_EQ(d.getFilename(), "");
  EXPECT_FALSE(d.getDispositionType().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, ContentDispositionSkipped,
    ::testing::Values(
        LoggedCase{"inline ; ", "not handled content-disposition parameter: ''"},
        LoggedCase{"attachment; filename=\"a=b.txt\"", "not handled content-disposition parameter: ' filename=\"a=b.txt\"'"},
        LoggedCase{"attachment; filename", "not handled content-disposition parameter: ' filename'"},
        LoggedCase{"attachment; filename=", "There was no parameter value for parameter : 'filename'"},
        LoggedCase{"attachment; foo=bar", "Parameter 'foo' with value 'bar' was not recognized!"},
        LoggedCase{"attachment; filename*=UTF-8''x.txt",
                   "NOT IMPLEMENTED filename* (filename with encodings), ignoring for now, but needs "
                   "implementation: 'UTF-8''x.txt'"}));

TEST(ContentDisposition, SemicolonInsideQuotesCutsTheName) {
  LogCapture capture;
  auto d = parsed("attachment; filename=\"a;b.txt\"");
  EXPECT_EQ(d.getFilename(), "\"a");
  EXPECT_TRUE(capture.contains("not handled content-disposition parameter: 'b.txt\"'", log4cplus::ERROR_LOG_LEVEL));
}

TEST(ContentDisposition, SizeIsReadLeniently) {
  EXPECT_EQ(parsed("attachment; size=abc").getSize(), 0u);
  EXPECT_EQ(parsed("attachment; size=42kB").getSize(), 42u);
  EXPECT_EQ(parsed("attachment; size=\"7\"").getSize(), 7u);
  EXPECT_EQ(parsed("attachment; size=-1").getSize(), UINT64_MAX);
  EXPECT_EQ(parsed("attachment; size=99999999999999999999999").getSize(), 9223372036854775807u);
}

TEST(ContentDisposition, LaterParseAddsAndClearResets) {
  ContentDisposition d;
  d.parseContentDisposition("attachment; filename=a.txt; size=1; size=2", "");
  d.parseContentDisposition("inline; read-date=x", "");
  EXPECT_EQ(d.getDispositionType(), "inline");
  EXPECT_EQ(d.getFilename(), "a.txt");
  EXPECT_EQ(d.getSize(), 2u);
  EXPECT_EQ(d.getReadDate(), "x");

  d.clear();
  EXPECT_FALSE(d.isParsed());
  EXPECT_EQ(d.getDispositionType(), "");
  EXPECT_EQ(d.getFilename(), "");
  EXPECT_EQ(d.getReadDate(), "");
  EXPECT_EQ(d.getSize(), 0u);
}

}  // namespace
}  // namespace quorvel::http
