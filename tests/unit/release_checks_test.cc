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
  };
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
  }
}

}  // namespace
}  // namespace vorn
