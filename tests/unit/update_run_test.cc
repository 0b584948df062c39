#include <gtest/gtest.h>

#include "platform/text.h"
#include "shell/update_app.h"
#include "tests/unit/fake_env.h"
#include "update/messages.h"
#include "update/updater.h"

namespace vorn {
namespace {

using platform::FetchResult;
using platform::FetchStatus;
using testing::FakeEnv;
using testing::ReadAll;
using testing::TempDir;

// A body of these lines, each ended by LF.
std::string Body(const std::vector<std::string>& lines) {
  std::string body;
  for (const std::string& line : lines) body += line + "\n";
  return body;
}

FetchResult Lines(const std::vector<std::string>& lines) {
  FetchResult r;
  r.status = FetchStatus::kOk;
  r.body = Body(lines);
  return r;
}

// A failed attempt at the version file's host "h".
FetchResult Failure(const std::string& text,
                    platform::ErrorKind kind = platform::ErrorKind::kOther) {
  FetchResult r;
  r.status = FetchStatus::kError;
  r.error = platform::Status::Error(kind, "h", 0, text);
  return r;
}

// The line of a failed attempt: its fixed text, the host and the reason.
std::string FetchLine(const char* line, const std::string& reason) {
  return std::string(line) + msg::kDetailSeparator + "h" +
         msg::kDetailSeparator + reason;
}

constexpr char kPrefix[] = "12- 6 21:54  ";

std::string LogOf(std::initializer_list<std::string> messages) {
  std::string out;
  for (const std::string& m : messages) out += kPrefix + m + "\r\n";
  return out;
}

struct ValidationCase {
  const char* name;
  bool dir, version, url, package, title;
  int32_t result;
  bool dir_created;
  const char* logged;  // the one line in the directory's log, or null
};

TEST(UpdateRunValidation, FirstEmptyFieldDecidesAndIsLoggedInTheDirectory) {
  const ValidationCase cases[] = {
      {"AllEmpty", false, false, false, false, false, kRunFail, false, nullptr},
      {"DirEmpty", false, true, true, true, true, kRunFail, false, nullptr},
      {"VersionEmpty", true, false, true, true, true, kRunInvalid, true,
       msg::kVersionEmpty},
      {"VersionAndUrlEmpty", true, false, false, true, true, kRunInvalid, true,
       msg::kVersionEmpty},
      {"UrlEmpty", true, true, false, true, true, kRunInvalid, true,
       msg::kUrlEmpty},
      {"PackageEmpty", true, true, true, false, true, kRunInvalid, true,
       msg::kPackageNameEmpty},
      {"TitleEmpty", true, true, true, true, false, kRunInvalid, true,
       msg::kTitleEmpty},
  };
  for (const ValidationCase& c : cases) {
    TempDir root;
    std::string dir = root.File("dl");
    FakeEnv fake;
    Updater updater(&fake.env);
    updater.SetParameters({c.url ? "http://h/v.txt" : "",
                           c.version ? "1.0" : "", c.dir ? dir : "",
                           c.package ? "p.exe" : "", false,
                           c.title ? "T" : ""});
    EXPECT_EQ(c.result, updater.RunUpdate()) << c.name;
    EXPECT_EQ(c.dir_created, testing::Exists(dir)) << c.name;
    std::string log = dir + platform::kPathSeparator + "updatelog.txt";
    if (c.logged != nullptr) {
      EXPECT_EQ(LogOf({c.logged}), ReadAll(log)) << c.name;
    } else {
      EXPECT_FALSE(testing::Exists(log)) << c.name;
    }
    EXPECT_TRUE(fake.internet.urls.empty()) << c.name;
  }
}

class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    updater_.SetParameters(
        {"http://h/v.txt", "1.0", dir_.path(), "pkg.exe", false, "T"});
  }
  std::string Log() { return ReadAll(dir_.File("updatelog.txt")); }

  TempDir dir_;
  FakeEnv fake_;
  Updater updater_{&fake_.env};
};

TEST_F(UpdateRunTest, SameVersionWritesOneLine) {
  fake_.internet.answers.push_back(Lines({"VER=1.0", "URL=http://h/p.exe"}));
  EXPECT_EQ(kRunOk, updater_.RunUpdate());
  EXPECT_EQ(RunOutcome::kUpToDate, updater_.outcome());
  EXPECT_EQ(LogOf({msg::kUpToDate}), Log());
  EXPECT_EQ(std::vector<std::string>{"http://h/v.txt"}, fake_.internet.urls);
  EXPECT_EQ("vornupdate", fake_.internet.agents[0]);
  EXPECT_TRUE(fake_.desktop.boxes.empty());
}

TEST_F(UpdateRunTest, ThirteenFailedAttempts) {
  for (int i = 0; i < 13; ++i)
    fake_.internet.answers.push_back(
        Failure("refused", platform::ErrorKind::kRefused));
  EXPECT_EQ(kRunFail, updater_.RunUpdate());
  EXPECT_EQ(RunOutcome::kNetworkFailure, updater_.outcome());
  EXPECT_EQ(13u, fake_.internet.urls.size());
  EXPECT_EQ(std::vector<uint32_t>(12, 300000u), fake_.clock.sleeps);
  const std::string refused =
      FetchLine(msg::kVersionFetchFailed, msg::kReasonRefused);
  std::string expected;
  for (int i = 0; i < 12; ++i)
    expected += LogOf({refused, msg::kNetworkFailure});
  expected += LogOf({refused, msg::kBadVersionFile});
  EXPECT_EQ(expected, Log());
}

TEST_F(UpdateRunTest, NoFileObjectIsAFailureWithoutText) {
  FetchResult none;
  none.status = FetchStatus::kNoFile;
  fake_.internet.answers.push_back(none);
  fake_.internet.answers.push_back(Lines({"VER=1.0", "URL=u"}));
  EXPECT_EQ(kRunOk, updater_.RunUpdate());
  EXPECT_EQ(LogOf({msg::kNetworkFailure, msg::kUpToDate}), Log());
}

TEST_F(UpdateRunTest, SuccessAfterFailuresSkipsTheRemainingRetries) {
  FetchResult broken = Failure("reset");
  broken.body = "VER=9.9\nURL=http://partial/";  // read before the break
  fake_.internet.answers = {Failure("down"), broken,
                            Lines({"VER=1.0", "URL=u"})};
  EXPECT_EQ(kRunOk, updater_.RunUpdate());
  EXPECT_EQ(3u, fake_.internet.urls.size());
  EXPECT_EQ(2u, fake_.clock.sleeps.size());
  EXPECT_EQ(LogOf({FetchLine(msg::kVersionFetchFailed, "down"),
                   msg::kNetworkFailure,
                   FetchLine(msg::kVersionFetchFailed, "reset"),
                   msg::kNetworkFailure, msg::kUpToDate}),
            Log());
  EXPECT_EQ((std::vector<std::string>{"VER=1.0", "URL=u"}),
            updater_.version_file().lines);
}

// Each kind of failed attempt has its line, with the host and the reason
// (words of their own for the common kinds, else the client's text); then
// the pause's line, and the next attempt.
TEST_F(UpdateRunTest, FailedAttemptSaysWhatFailedWhere) {
  using platform::ErrorKind;
  const std::string tls_text = "SSL certificate problem";
  const struct {
    ErrorKind kind;
    std::string text;
    std::string line;
  } cases[] = {
      {ErrorKind::kTlsUntrusted, tls_text,
       FetchLine(msg::kVersionTlsUntrusted, tls_text)},
      {ErrorKind::kTlsWrongName, tls_text,
       FetchLine(msg::kVersionTlsWrongName, tls_text)},
      {ErrorKind::kTlsExpired, tls_text,
       FetchLine(msg::kVersionTlsExpired, tls_text)},
      {ErrorKind::kTlsHandshake, tls_text,
       FetchLine(msg::kVersionTlsHandshake, tls_text)},
      {ErrorKind::kHostNotFound, "Could not resolve host: h",
       FetchLine(msg::kVersionFetchFailed, msg::kReasonHostNotFound)},
      {ErrorKind::kRefused, "Connection refused",
       FetchLine(msg::kVersionFetchFailed, msg::kReasonRefused)},
      {ErrorKind::kTimedOut, "Operation timed out",
       FetchLine(msg::kVersionFetchFailed, msg::kReasonTimedOut)},
      {ErrorKind::kOther, "Recv failure: Connection reset by peer",
       FetchLine(msg::kVersionFetchFailed,
                 "Recv failure: Connection reset by peer")},
      // A system text no longer than a fetch hands back.
      {ErrorKind::kOther, std::string(5000, 'e'),
       FetchLine(msg::kVersionFetchFailed, std::string(1023, 'e'))},
  };
  for (const auto& c : cases) {
    TempDir dir;
    FakeEnv fake;
    Updater updater(&fake.env);
    updater.SetParameters(
        {"http://h/v.txt", "1.0", dir.path(), "pkg.exe", false, "T"});
    fake.internet.answers = {Failure(c.text, c.kind),
                             Lines({"VER=1.0", "URL=u"})};
    EXPECT_EQ(kRunOk, updater.RunUpdate()) << c.line;
    EXPECT_EQ(LogOf({c.line, msg::kNetworkFailure, msg::kUpToDate}),
              ReadAll(dir.File("updatelog.txt")));
    EXPECT_EQ(std::vector<uint32_t>{300000u}, fake.clock.sleeps);
  }
}

TEST_F(UpdateRunTest, ErrorPageIsReadAsVersionText) {
  fake_.internet.answers.push_back(Lines({"<html>404 Not Found</html>"}));
  EXPECT_EQ(kRunFail, updater_.RunUpdate());
  EXPECT_EQ(RunOutcome::kBadVersionFile, updater_.outcome());
  EXPECT_EQ(LogOf({msg::kBadVersionFile}), Log());
}

TEST_F(UpdateRunTest, DifferentVersionHandsUrlAndSavePathToThePreparation) {
  fake_.internet.answers.push_back(
      Lines({"VER=2.0", "URL=http://pkg.example:8080/a/setup.exe"}));
  // A download that gave no package is a failed run.
  EXPECT_EQ(kRunFail, updater_.RunUpdate());
  // The probe was tried against the package server (nothing answers there).
  ASSERT_EQ(1u, fake_.network.Connections().size());
  EXPECT_EQ("pkg.example:8080", fake_.network.Connections()[0].host_port);
  // A failed preparation says why, and names the server.
  const std::string why = std::string(msg::kServerUnreachable) +
                          msg::kDetailSeparator + "pkg.example:8080";
  EXPECT_EQ(0u, Log().find(LogOf({why.c_str()}).substr(0, 13 + why.size())))
      << Log();
}

// Version texts as a fetch builds them: each line followed by CR LF.
struct VersionCase {
  const char* name;
  std::vector<std::string> lines;
  const char* current;
  int compare;
  const char* announced;
  const char* package_url;
  std::vector<std::string> mirrors = {};
};

TEST(VersionFile, CutsAndComparison) {
  const VersionCase cases[] = {
      {"Plain",
       {"VER=2.1", "URL=http://h/p.exe"},
       "2.1",
       1,
       "2.1",
       "http://h/p.exe"},
      {"Differs",
       {"VER=2.1", "URL=http://h/p.exe"},
       "2.0",
       0,
       "2.1",
       "http://h/p.exe"},
      {"LetterCaseDiffers", {"VER=1.0a", "URL=u"}, "1.0A", 0, "1.0a", "u"},
      {"BlankBeforeSeparator", {"VER =2.1", "URL=u"}, "2.1", 0, "=2.1", "u"},
      {"TrailingBlankKept", {"VER=2.1 ", "URL=u"}, "2.1", 0, "2.1 ", "u"},
      {"LowerCaseKeyIsNoEntry", {"ver=2.1", "URL=u"}, "2.1", -1, "", "u"},
      {"NoUrl", {"VER=2.1"}, "2.1", -1, "", ""},
      {"Empty", {}, "2.1", -1, "", ""},
      {"AnySeparator", {"VER:2.1", "URL u"}, "2.1", 1, "2.1", "u"},
      {"VerInsideEarlierWord",
       {"VERSIONS", "VER=2.1", "URL=u"},
       "2.1",
       0,
       "IONS\r\nVER=2.1",
       "u"},
      {"LinesBetween", {"VER=2.1", "x", "URL=u"}, "2.1", 0, "2.1\r\nx", "u"},
      {"UrlFirst", {"URL=u", "VER=2.1"}, "2.1", 0, "", "u\r\nVER=2.1"},
      // An entry starts its line (blanks aside): "URL" further on is text.
      {"OneLineOneByteBetween", {"VER=2.1 URL=u"}, "2.", -1, "", ""},
      {"OneLineNoByteBetween", {"VER=2.1URL=u"}, "2", -1, "", ""},
      {"EntriesAfterBlanks", {"  VER=2.1", "\tURL=u"}, "2.1", 1, "2.1", "u"},
      {"KeysInsideLinesAreText",
       {"# VER=9 URL=x", "VER=2.1", "URL=u"},
       "2.1",
       1,
       "2.1",
       "u"},
      {"MinifiedPortalPage",
       {"<head>HOTSPOT-SERVER<meta http-equiv=refresh "
        "content=\"0;URL=http://portal/\"></head>"},
       "",
       -1,
       "",
       ""},
      {"LoneCrEndsALine", {"VER=2.1\rURL=u"}, "2.1", 1, "2.1", "u"},
      // A web page is no version file, whatever its lines say...
      {"WebPage", {"<!DOCTYPE html>", "VER=2.1", "URL=u"}, "2.1", -1, "", ""},
      {"WebPageUpperCase",
       {"x", "<HTML>", "VER=2.1", "URL=u"},
       "2.1",
       -1,
       "",
       ""},
      // ...but markup past the first kilobyte is only text.
      {"MarkupPastTheFirstKilobyte",
       {std::string(1100, '#'), "<html>", "VER=2.1", "URL=u"},
       "2.1",
       1,
       "2.1",
       "u"},
      {"EmptyLastLine", {"VER=2.1", "URL=u", ""}, "2.1", 1, "2.1", "u"},
      {"EmptyLastLines", {"VER=2.1", "URL=u", "", ""}, "2.1", 1, "2.1", "u"},
      {"LinesAfterUrl",
       {"VER=2.1", "URL=u", "more"},
       "2.1",
       1,
       "2.1",
       "u\r\nmore"},
      {"MirrorOfThePackageUrlDropped",
       {"SHA256=" + std::string(64, 'b'), "SIZE=5", "MIRROR=http://h/p.exe",
        "MIRROR=http://m/p.exe", "VER=2.1", "URL=http://h/p.exe"},
       "2.1",
       1,
       "2.1",
       "http://h/p.exe",
       {"http://m/p.exe"}},
      {"LinesBeforeIgnored",
       {"# list", "VER=2.1", "URL=u"},
       "2.1",
       1,
       "2.1",
       "u"},
  };
  for (const VersionCase& c : cases) {
    FakeEnv fake;
    Updater updater(&fake.env);
    updater.SetParameters({"v", c.current, "d", "p", false, "t"});
    fake.internet.answers.push_back(Lines(c.lines));
    ASSERT_TRUE(updater.FetchVersionFile());
    EXPECT_EQ(c.compare, updater.CompareVersion()) << c.name;
    if (c.compare != -1) {
      EXPECT_EQ(c.announced, updater.AnnouncedVersion()) << c.name;
    }
    EXPECT_EQ(c.package_url, updater.PackageUrl()) << c.name;
    EXPECT_EQ(c.mirrors, updater.version_file().checks.mirrors) << c.name;
  }
}

TEST_F(UpdateRunTest, UnsafePackageUrlNeverReachesARequest) {
  const std::vector<std::string> urls[] = {
      {"VER=2.0", "URL=http://h/p.exe", "Host: evil.example"},
      {"VER=2.0", "URL=http://h/p q.exe"},
      {"VER=2.0", "URL=http://h/p.exe\x01"},
  };
  for (const auto& lines : urls) {
    TempDir dir;
    FakeEnv fake;
    Updater updater(&fake.env);
    updater.SetParameters(
        {"http://h/v.txt", "1.0", dir.path(), "pkg.exe", false, "T"});
    fake.internet.answers.push_back(Lines(lines));
    EXPECT_EQ(kRunFail, updater.RunUpdate());
    EXPECT_TRUE(fake.network.Connections().empty());
    EXPECT_EQ(LogOf({msg::kPackageUrlUnsafe}),
              ReadAll(dir.File("updatelog.txt")));
  }
}

TEST(VersionFile, LineEndsReadAlike) {
  // LF, CR LF, lone CR, no final line end, a byte-order mark before the
  // first line: the same version text.
  const char* bodies[] = {
      "VER=2.1\nURL=u",
      "VER=2.1\r\nURL=u\r\n",
      "VER=2.1\nURL=u\n",
      "VER=2.1\r\nURL=u",
      "VER=2.1\nURL=u\r",
      "VER=2.1\rURL=u\r",
      "\xEF\xBB\xBFVER=2.1\r\nURL=u",
  };
  for (const char* body : bodies) {
    FakeEnv fake;
    Updater updater(&fake.env);
    FetchResult r;
    r.status = FetchStatus::kOk;
    r.body = body;
    fake.internet.answers.push_back(r);
    ASSERT_TRUE(updater.FetchVersionFile());
    EXPECT_EQ((std::vector<std::string>{"VER=2.1", "URL=u"}),
              updater.version_file().lines)
        << body;
  }
  // A reading that broke off keeps the lines it finished.
  FakeEnv fake;
  Updater updater(&fake.env);
  FetchResult broken;
  broken.status = FetchStatus::kError;
  broken.body = "VER=2.1\r\nURL=u";
  fake.internet.answers.push_back(broken);
  EXPECT_FALSE(updater.FetchVersionFile());
  EXPECT_EQ(std::vector<std::string>{"VER=2.1"}, updater.version_file().lines);
}

// The release checks over the run, from the fetched body to the decision:
// with a key, nothing but a good signature gets as far as comparing the
// versions.
TEST(UpdateRunRelease, ChecksComeBeforeTheDecision) {
  const std::string key = std::string(64, 'a') + std::string(64, '5');
  std::string good_sig = "SIG=";
  for (int i = 0; i < 64; ++i) good_sig += "5a";
  const std::string sha = "SHA256=" + std::string(64, 'b');
  const std::string head = sha + "\nSIZE=5\n";
  struct Case {
    const char* name;
    std::string key_file;  // beside the executable; "-" for none, "@dir"
                           // for a directory
    std::string body;
    std::vector<std::string> log;
    RunOutcome outcome;
    std::string signed_text = "";  // what was verified, when it was
    // The state file before and after the run: "-" for none, "" for
    // whatever it holds.
    std::string state_before = "-";
    std::string state_after = "";
    // A second run's body, fetched after the first run in the same
    // directory; its lines follow the first run's in `log`.
    std::string then = "";
  };
  // A refusal that comes from the state file ends with its path.
  const std::string kStateNamed = std::string("@STATE");
  // A key that cannot be used: the line names its file.
  const std::string bad_key = std::string(msg::kKeyFileInvalid) + "@KEY";
  // Nothing serves the package: the probe's line names the server.
  const std::string unreachable = std::string(msg::kServerUnreachable) +
                                  msg::kDetailSeparator + "h:80" +
                                  msg::kDetailSeparator + msg::kReasonRefused;
  // The fake clock's now is 2027-01-15T08:00:00Z.
  const std::string dated = head + "DATE=2026-12-02T00:00:00Z\n";
  const std::string kept = "DATE=2026-12-02T00:00:00Z\n";
  const std::string earlier = "DATE=2026-12-01T00:00:00Z\n";
  const std::string newer = "VER=2.0\nURL=http://h/p.exe\n";
  const std::string ahead = head + "DATE=2028-01-15T08:00:00Z\n";
  const Case cases[] = {
      {"no key, no checks",
       "-",
       "VER=1.0\nURL=u\n",
       {msg::kUpToDate},
       RunOutcome::kUpToDate},
      {"no key, a bad check line",
       "-",
       "SIZE=+5\nVER=1.0\nURL=u\n",
       {msg::kSizeLineInvalid},
       RunOutcome::kRefused},
      {"no key, a bad MIRROR line",
       "-",
       "MIRROR=ftp://m/p.exe\nVER=1.0\nURL=u\n",
       {msg::kMirrorLineInvalid},
       RunOutcome::kRefused},
      {"key, unsigned file says the installed version",
       key,
       "VER=1.0\nURL=u\n",
       {msg::kSignatureMissing},
       RunOutcome::kRefused},
      {"key, bad signature",
       key,
       head + "SIG=" + std::string(128, '6') + "\nVER=1.0\nURL=u\n",
       {msg::kSignatureInvalid},
       RunOutcome::kRefused},
      {"key, broken key file",
       "0x12\n",
       head + good_sig + "\nVER=1.0\nURL=u\n",
       {bad_key},
       RunOutcome::kRefused},
      {"key file that is a directory",
       "@dir",
       "VER=1.0\nURL=u\n",
       {bad_key},
       RunOutcome::kRefused},
      {"key, good signature, latest",
       key,
       head + good_sig + "\nVER=1.0\nURL=u\n",
       {msg::kUpToDate},
       RunOutcome::kUpToDate,
       head + "VER=1.0\nURL=u\n"},
      {"key, good signature, newer",
       key,
       head + good_sig + "\nVER=2.0\nURL=http://h/p.exe\n",
       {unreachable},
       RunOutcome::kDownloadFailed},
      {"lone CR line ends and a BOM, signed as LF lines",
       key,
       "\xEF\xBB\xBF" + sha + "\rSIZE=5\r" + good_sig + "\rVER=1.0\rURL=u\r",
       {msg::kUpToDate},
       RunOutcome::kUpToDate,
       head + "VER=1.0\nURL=u\n"},
      // Freshness, with a key: the newest DATE accepted is kept...
      {"dated, first contact",
       key,
       dated + good_sig + "\n" + newer,
       {unreachable},
       RunOutcome::kDownloadFailed,
       "",
       "-",
       kept},
      {"dated, newer than the one kept",
       key,
       dated + good_sig + "\n" + newer,
       {unreachable},
       RunOutcome::kDownloadFailed,
       "",
       earlier,
       kept},
      {"dated, the one kept again",
       key,
       dated + good_sig + "\nVER=1.0\nURL=u\n",
       {msg::kUpToDate},
       RunOutcome::kUpToDate,
       "",
       kept,
       kept},
      // ...and nothing older, undated, expired or downgrading passes.
      // A date far ahead of the clock is accepted but never kept, so a
      // mis-dated release cannot hold back the correct ones after it...
      {"dated a year ahead, then a release dated now",
       key,
       ahead + good_sig + "\n" + newer,
       {unreachable, unreachable},
       RunOutcome::kDownloadFailed,
       "",
       kept,
       "DATE=2027-01-15T07:00:00Z\n",
       head + "DATE=2027-01-15T07:00:00Z\n" + good_sig + "\n" + newer},
      {"dated a day ahead: kept",
       key,
       head + "DATE=2027-01-16T08:00:00Z\n" + good_sig + "\n" + newer,
       {unreachable},
       RunOutcome::kDownloadFailed,
       "",
       kept,
       "DATE=2027-01-16T08:00:00Z\n"},
      // ...and a kept date far ahead counts as none kept.
      {"a future date planted in the state",
       key,
       dated + good_sig + "\n" + newer,
       {unreachable},
       RunOutcome::kDownloadFailed,
       "",
       "DATE=2030-01-01T00:00:00Z\n",
       kept},
      {"replayed, older than the one kept",
       key,
       head + earlier + good_sig + "\n" + newer,
       {msg::kReplayedVersionFile + kStateNamed},
       RunOutcome::kRefused,
       "",
       kept,
       kept},
      {"undated once a dated one was kept",
       key,
       head + good_sig + "\n" + newer,
       {msg::kUndatedVersionFile + kStateNamed},
       RunOutcome::kRefused,
       "",
       kept,
       kept},
      {"expired",
       key,
       dated + "EXPIRES=2027-01-15T07:59:59Z\n" + good_sig + "\n" + newer,
       {msg::kExpiredVersionFile},
       RunOutcome::kRefused,
       "",
       "-",
       "-"},
      {"not yet expired",
       key,
       dated + "EXPIRES=2027-01-15T08:00:00Z\n" + good_sig + "\n" + newer,
       {unreachable},
       RunOutcome::kDownloadFailed},
      {"older version on first contact",
       key,
       head + good_sig + "\nVER=0.9.9\nURL=http://h/p.exe\n",
       {msg::kDowngradeRefused},
       RunOutcome::kRefused},
      {"older version as a rollback",
       key,
       dated + "ROLLBACK=YES\n" + good_sig +
           "\nVER=0.9.9\nURL=http://h/p.exe\n",
       {unreachable},
       RunOutcome::kDownloadFailed,
       "",
       earlier,
       kept},
      {"versions of another form are not ordered",
       key,
       head + good_sig + "\nVER=0.9b\nURL=http://h/p.exe\n",
       {unreachable},
       RunOutcome::kDownloadFailed},
      {"torn state file",
       key,
       dated + good_sig + "\n" + newer,
       {msg::kStateFileInvalid + kStateNamed},
       RunOutcome::kRefused,
       "",
       "DATE=2026-1",
       ""},
      {"no key: the lines decide nothing",
       "-",
       head + earlier +
           "EXPIRES=2020-01-01T00:00:00Z\nVER=0.9\nURL=http://h/p.exe\n",
       {unreachable},
       RunOutcome::kDownloadFailed,
       "",
       kept,
       kept},
      {"no key, a malformed DATE",
       "-",
       "DATE=2026-02-30T00:00:00Z\nVER=2.0\nURL=u\n",
       {msg::kDateLineInvalid},
       RunOutcome::kRefused},
  };
  for (const Case& c : cases) {
    TempDir dir;
    FakeEnv fake;
    fake.process.executable_path = dir.File("vornupdate.exe");
    if (c.key_file == "@dir") {
      fake.files.MakeDirectory(dir.File("vornupdate.pub"));
    } else if (c.key_file != "-") {
      testing::WriteAll(dir.File("vornupdate.pub"), c.key_file);
    }
    const std::string state =
        dir.File("dl") + platform::kPathSeparator + "updatestate.txt";
    if (c.state_before != "-") {
      fake.files.MakeDirectory(dir.File("dl"));
      testing::WriteAll(state, c.state_before);
    }
    FetchResult r;
    r.status = FetchStatus::kOk;
    r.body = c.body;
    fake.internet.answers.push_back(r);
    Updater updater(&fake.env);
    updater.SetParameters(
        {"http://h/v.txt", "1.0", dir.File("dl"), "pkg.exe", false, "T"});
    updater.RunUpdate();
    if (!c.then.empty()) {
      EXPECT_EQ(c.outcome, updater.outcome()) << c.name << ", first run";
      r.body = c.then;
      fake.internet.answers.push_back(r);
      updater.RunUpdate();
    }
    std::string log;
    for (const std::string& m : c.log) {
      log += LogOf({ReplaceAll(ReplaceAll(m, "@KEY",
                                          msg::kDetailSeparator +
                                              dir.File("vornupdate.pub")),
                               kStateNamed,
                               msg::kDetailSeparator + state +
                                   msg::kDetailSeparator +
                                   msg::kStateFileDeletable)});
    }
    EXPECT_EQ(log, ReadAll(dir.File("dl") + platform::kPathSeparator +
                           "updatelog.txt"))
        << c.name;
    EXPECT_EQ(c.outcome, updater.outcome()) << c.name;
    // A broken key stops the run before the fetch.
    EXPECT_EQ(c.log[0] == bad_key ? 0u : c.then.empty() ? 1u : 2u,
              fake.internet.urls.size())
        << c.name;
    if (c.state_after == "-") {
      EXPECT_FALSE(testing::Exists(state)) << c.name;
    } else if (!c.state_after.empty()) {
      EXPECT_EQ(c.state_after, ReadAll(state)) << c.name;
    }
    if (!c.signed_text.empty()) {
      ASSERT_EQ(1u, fake.crypto.verified_messages.size()) << c.name;
      EXPECT_EQ(c.signed_text, fake.crypto.verified_messages[0]) << c.name;
    }
  }
}

TEST(UpdateApp, StartUpRunsOnlyWithACompleteCommandLine) {
  struct {
    const char* line;
    bool guard;
    size_t fetches;
    int exit_status;
  } cases[] = {
      {"prog", false, 0, kExitBadCommandLine},
      {"prog;u;v;d;p", false, 0, kExitBadCommandLine},
      {"prog;http://h/v;1.0;DIR;p;;T", true, 0,  // second instance
       kExitAlreadyRunning},
      {"prog;http://h/v;1.0;DIR;p;;T", false, 1, kExitOk},
      {"prog;http://h/v;2.0;DIR;p;;T", false, 1, kExitDownloadFailed},
      {"prog;http://h/v;1.0;DIR;p;;", false, 0, kExitInvalidParameters},
  };
  for (const auto& c : cases) {
    TempDir dir;
    FakeEnv fake;
    std::string line = ReplaceAll(c.line, "DIR", dir.path());
    fake.process.command_line = line;
    fake.process.guard_exists = c.guard;
    fake.internet.answers.push_back(Lines({"VER=1.0", "URL=u"}));
    UpdateApp app(&fake.env);
    EXPECT_FALSE(app.InitInstance()) << c.line;
    EXPECT_EQ(c.exit_status, app.ExitInstance()) << c.line;
    EXPECT_EQ(c.fetches, fake.internet.urls.size()) << c.line;
    EXPECT_EQ(std::vector<std::string>{"vornUpdate"}, fake.process.guard_names);
  }
}

}  // namespace
}  // namespace vorn
