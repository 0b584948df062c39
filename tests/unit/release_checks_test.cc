#include "update/release_checks.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace vorn {
namespace {

TEST(ReleaseChecks, LinesBeforeTheVersionEntry) {
  const std::string sha(64, 'b');
  const std::string sig(128, 'c');
  const std::string tail = "VER=2.0\r\nURL=http://h/p.exe\r\n";
  struct Case {
    const char* name;
    std::string text;
    ReleaseChecksError error;
    bool has_sha = false;
    int64_t size = -1;  // -1 for none, -2 for the largest
    bool has_sig = false;
    std::string signed_text = "";
    std::vector<std::string> mirrors = {};
  };
  const std::string checks = "SHA256=" + sha + "\r\nSIZE=42\r\n";
  const Case cases[] = {
      {"none: today's file", tail, ReleaseChecksError::kNone, false, -1, false,
       "VER=2.0\nURL=http://h/p.exe\n"},
      {"all three, signature line left out of the signed text",
       "SHA256=" + sha + "\r\nSIZE=42\r\nSIG=" + sig + "\r\n" + tail,
       ReleaseChecksError::kNone, true, 42, true,
       "SHA256=" + sha + "\nSIZE=42\nVER=2.0\nURL=http://h/p.exe\n"},
      {"other lines stay signed, in order",
       "# release\r\nSIG=" + sig + "\r\n\r\n" + tail, ReleaseChecksError::kNone,
       false, -1, true, "# release\n\nVER=2.0\nURL=http://h/p.exe\n"},
      {"first duplicate counts", "SIZE=1\r\nSIZE=2\r\n" + tail,
       ReleaseChecksError::kNone, false, 1, false,
       "SIZE=1\nSIZE=2\nVER=2.0\nURL=http://h/p.exe\n"},
      {"largest 64-bit size", "SIZE=18446744073709551615\r\n" + tail,
       ReleaseChecksError::kNone, false, -2, false,
       "SIZE=18446744073709551615\nVER=2.0\nURL=http://h/p.exe\n"},
      {"check lines after the entries are not checks",
       "VER=2.0\r\nSHA256=x\r\nURL=http://h/p.exe\r\n",
       ReleaseChecksError::kNone, false, -1, false,
       "VER=2.0\nSHA256=x\nURL=http://h/p.exe\n"},
      {"keys inside a line are no entry", "# VER URL\r\nSIZE=5\r\n" + tail,
       ReleaseChecksError::kNone, false, 5, false,
       "# VER URL\nSIZE=5\nVER=2.0\nURL=http://h/p.exe\n"},
      {"mirrors in file order, each once, and signed",
       checks +
           "MIRROR=https://m2/p.exe\r\nMIRROR=http://m1:8080/p?x=1\r\n"
           "MIRROR=https://m2/p.exe\r\nSIG=" +
           sig + "\r\n" + tail,
       ReleaseChecksError::kNone,
       true,
       42,
       true,
       "SHA256=" + sha +
           "\nSIZE=42\nMIRROR=https://m2/p.exe\n"
           "MIRROR=http://m1:8080/p?x=1\nMIRROR=https://m2/p.exe\n"
           "VER=2.0\nURL=http://h/p.exe\n",
       {"https://m2/p.exe", "http://m1:8080/p?x=1"}},
      {"mirrors ignored without SIZE",
       "MIRROR=http://m/p.exe\r\nSHA256=" + sha + "\r\n" + tail,
       ReleaseChecksError::kNone, true, -1, false,
       "MIRROR=http://m/p.exe\nSHA256=" + sha + "\n" +
           "VER=2.0\nURL=http://h/p.exe\n"},
      {"mirrors ignored without SHA256",
       "SIZE=42\r\nMIRROR=http://m/p.exe\r\n" + tail, ReleaseChecksError::kNone,
       false, 42, false,
       "SIZE=42\nMIRROR=http://m/p.exe\nVER=2.0\nURL=http://h/p.exe\n"},
      {"mirror of another scheme", checks + "MIRROR=ftp://m/p.exe\r\n" + tail,
       ReleaseChecksError::kBadMirror},
      {"mirror without a scheme, even with nothing to use it",
       "MIRROR=m/p.exe\r\n" + tail, ReleaseChecksError::kBadMirror},
      {"mirror after a blank", checks + "MIRROR= http://m/p.exe\r\n" + tail,
       ReleaseChecksError::kBadMirror},
      {"mirror name in lower case", checks + "mirror=http://m/p.exe\r\n" + tail,
       ReleaseChecksError::kBadMirror},
      {"digest too short", "SHA256=" + sha.substr(1) + "\r\n" + tail,
       ReleaseChecksError::kBadSha256},
      {"digest upper-case", "SHA256=" + std::string(64, 'B') + "\r\n" + tail,
       ReleaseChecksError::kBadSha256},
      {"digest with a blank", "SHA256= " + sha.substr(1) + "\r\n" + tail,
       ReleaseChecksError::kBadSha256},
      {"name in lower case", "sha256=" + sha + "\r\n" + tail,
       ReleaseChecksError::kBadSha256},
      {"blank before the equals sign", "SIZE =4\r\n" + tail,
       ReleaseChecksError::kBadSize},
      {"size with a sign", "SIZE=-4\r\n" + tail, ReleaseChecksError::kBadSize},
      {"size empty", "SIZE=\r\n" + tail, ReleaseChecksError::kBadSize},
      {"size past 64 bits", "SIZE=18446744073709551616\r\n" + tail,
       ReleaseChecksError::kBadSize},
      {"signature too long", "SIG=" + sig + "c\r\n" + tail,
       ReleaseChecksError::kBadSignature},
      {"second signature line", "SIG=" + sig + "\r\nSIG=" + sig + "\r\n" + tail,
       ReleaseChecksError::kBadSignature},
      {"signature inside the signed entries",
       "VER=2.0\r\nSIG=" + sig + "\r\nURL=http://h/p.exe\r\n",
       ReleaseChecksError::kBadSignature},
  };
  for (const Case& c : cases) {
    ReleaseChecks checks;
    checks.size = 99;
    ASSERT_EQ(c.error, ReadReleaseChecks(c.text, &checks)) << c.name;
    if (c.error != ReleaseChecksError::kNone) continue;
    EXPECT_EQ(c.has_sha ? std::string(32, '\xBB') : "", checks.sha256)
        << c.name;
    EXPECT_EQ(c.size != -1, checks.has_size) << c.name;
    uint64_t size = c.size == -2 ? UINT64_MAX : static_cast<uint64_t>(c.size);
    if (c.size != -1) {
      EXPECT_EQ(size, checks.size) << c.name;
    }
    EXPECT_EQ(c.has_sig ? std::string(64, '\xCC') : "", checks.signature)
        << c.name;
    EXPECT_EQ(c.signed_text, checks.signed_text) << c.name;
    EXPECT_EQ(c.mirrors, checks.mirrors) << c.name;
  }
}

TEST(ReleaseChecks, FreshnessLines) {
  const std::string tail = "VER=2.0\r\nURL=u\r\n";
  const struct {
    std::string text;
    ReleaseChecksError error;
    int64_t date = -1;     // -1 for none
    int64_t expires = -1;  // -1 for none
    bool rollback = false;
  } cases[] = {
      {"DATE=1970-01-01T00:00:00Z\r\n" + tail, ReleaseChecksError::kNone, 0, -1,
       false},
      {"DATE=2024-02-29T23:59:59Z\r\nEXPIRES=2024-03-01T00:00:00Z\r\n"
       "ROLLBACK=YES\r\n" +
           tail,
       ReleaseChecksError::kNone, 1709251199, 1709251200, true},
      {"DATE=2000-01-01T00:00:00Z\r\nDATE=x\r\n" + tail,  // first counts
       ReleaseChecksError::kNone, 946684800, -1, false},
      {"VER=2.0\r\nROLLBACK=yes\r\nURL=u\r\n",  // after VER: text
       ReleaseChecksError::kNone, -1, -1, false},
      {"DATE=2023-02-29T00:00:00Z\r\n" + tail, ReleaseChecksError::kBadDate},
      {"DATE=2026-12-01T00:00:00\r\n" + tail, ReleaseChecksError::kBadDate},
      {"DATE=2026-12-01 00:00:00Z\r\n" + tail, ReleaseChecksError::kBadDate},
      {"DATE=1969-12-31T23:59:59Z\r\n" + tail, ReleaseChecksError::kBadDate},
      {"date=2026-12-01T00:00:00Z\r\n" + tail, ReleaseChecksError::kBadDate},
      {"EXPIRES=2026-12-01T24:00:00Z\r\n" + tail,
       ReleaseChecksError::kBadExpires},
      {"ROLLBACK=yes\r\n" + tail, ReleaseChecksError::kBadRollback},
      {"ROLLBACK=\r\n" + tail, ReleaseChecksError::kBadRollback},
  };
  for (const auto& c : cases) {
    ReleaseChecks checks;
    ASSERT_EQ(c.error, ReadReleaseChecks(c.text, &checks)) << c.text;
    if (c.error != ReleaseChecksError::kNone) continue;
    EXPECT_EQ(c.date != -1, checks.has_date) << c.text;
    if (c.date != -1) {
      EXPECT_EQ(c.date, checks.date) << c.text;
      EXPECT_EQ(c.text.substr(5, 20), FormatUtcTime(checks.date)) << c.text;
    }
    EXPECT_EQ(c.expires != -1, checks.has_expires) << c.text;
    if (c.expires != -1) {
      EXPECT_EQ(c.expires, checks.expires) << c.text;
    }
    EXPECT_EQ(c.rollback, checks.rollback) << c.text;
  }
}

TEST(ReleaseChecks, OlderVersionsAreDottedNumbers) {
  const struct {
    const char* announced;
    const char* installed;
    bool older;
  } cases[] = {
      {"1.5", "2.0", true},
      {"2.0", "2.0", false},
      {"2.0", "2", false},
      {"1.99", "1.100", true},
      {"1.0.1", "1.0", false},
      {"1.0", "1.0.1", true},
      {"01.2", "1.10", true},
      {"9", "10", true},
      {"1.5b", "2.0", false},
      {"1..5", "2.0", false},
      {"", "2.0", false},
      {"1.5", "2.0 ", false},
      {"99999999999999999999.1", "99999999999999999999.2", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.older, IsOlderVersion(c.announced, c.installed))
        << c.announced << " vs " << c.installed;
  }
}

}  // namespace
}  // namespace vorn
