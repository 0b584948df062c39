#include <gtest/gtest.h>

#include "tests/unit/fake_env.h"
#include "update/messages.h"
#include "update/updater.h"

namespace vorn {
namespace {

using platform::WindowHandle;
using testing::FakeEnv;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

constexpr char kTitle[] = "Check for updates";

TEST(FindHostWindow, FirstDialogWithADirectButtonWins) {
  struct Case {
    const char* name;
    // Builds the window tree and returns the expected host (or null).
    std::function<WindowHandle(testing::FakeWindows&)> build;
  };
  const Case cases[] = {
      {"NoWindows",
       [](testing::FakeWindows&) { return WindowHandle(nullptr); }},
      {"OneDialog",
       [](testing::FakeWindows& w) {
         WindowHandle d = w.Add(nullptr, "#32770", "Main");
         w.Add(d, "Button", "OK");
         w.Add(d, "Button", kTitle);
         return d;
       }},
      {"TwoDialogsFirstWins",
       [](testing::FakeWindows& w) {
         w.Add(nullptr, "#32770", "Other");
         WindowHandle first = w.Add(nullptr, "#32770", "A");
         w.Add(first, "Button", kTitle);
         WindowHandle second = w.Add(nullptr, "#32770", "B");
         w.Add(second, "Button", kTitle);
         return first;
       }},
      {"NestedButtonDoesNotCount",
       [](testing::FakeWindows& w) {
         WindowHandle d = w.Add(nullptr, "#32770", "Main");
         WindowHandle group = w.Add(d, "Static", "group");
         w.Add(group, "Button", kTitle);
         return WindowHandle(nullptr);
       }},
      {"TopLevelButtonIsNoHost",
       [](testing::FakeWindows& w) {
         w.Add(nullptr, "#32770", "Main");
         w.Add(nullptr, "Button", kTitle);
         return WindowHandle(nullptr);
       }},
      {"CaptionMustMatchExactly",
       [](testing::FakeWindows& w) {
         WindowHandle d = w.Add(nullptr, "#32770", "Main");
         w.Add(d, "Button", "check for updates");
         return WindowHandle(nullptr);
       }},
      {"OtherClassIgnored",
       [](testing::FakeWindows& w) {
         WindowHandle d = w.Add(nullptr, "MainFrame", "Main");
         w.Add(d, "Button", kTitle);
         return WindowHandle(nullptr);
       }},
  };
  for (const Case& c : cases) {
    FakeEnv fake;
    WindowHandle expected = c.build(fake.windows);
    Updater updater(&fake.env);
    updater.SetParameters({"u", "1", "d", "p", false, kTitle});
    EXPECT_EQ(expected, updater.FindHostWindow()) << c.name;
  }
}

class CompleteUpdateTest : public ::testing::Test {
 protected:
  void Run(bool execute, bool package_present) {
    updater_.SetParameters(
        {"http://h/v.txt", "1.0", dir_.path(), "pkg.exe", execute, kTitle});
    fake_.internet.answers.push_back({});
    updater_.RunUpdate();  // sets the log path
    WriteAll(dir_.File("updatelog.txt"), "");
    fake_.clock.sleeps.clear();
    fake_.clock.on_sleep = [this](uint32_t) {
      fake_.windows.events.push_back("sleep");
    };
    if (package_present) WriteAll(dir_.File("pkg.exe"), "package");
    updater_.CompleteUpdate();
  }
  std::string Log() { return ReadAll(dir_.File("updatelog.txt")); }

  TempDir dir_;
  FakeEnv fake_;
  Updater updater_{&fake_.env};
};

TEST_F(CompleteUpdateTest, CommandNoticePauseLaunchAndLine) {
  WindowHandle host = fake_.windows.Add(nullptr, "#32770", "Host");
  fake_.windows.Add(host, "Button", kTitle);
  Run(/*execute=*/true, /*package_present=*/true);
  ASSERT_EQ(1u, fake_.windows.commands.size());
  EXPECT_EQ(host, fake_.windows.commands[0].first);
  EXPECT_EQ(32823u, fake_.windows.commands[0].second);
  ASSERT_EQ(1u, fake_.desktop.boxes.size());
  EXPECT_EQ("vornupdate", fake_.desktop.boxes[0].first);
  EXPECT_EQ(msg::kCompletionNotice, fake_.desktop.boxes[0].second);
  EXPECT_EQ(std::vector<uint32_t>{4000}, fake_.clock.sleeps);
  EXPECT_EQ((std::vector<std::string>{"command", "box", "sleep", "open"}),
            fake_.windows.events);
  EXPECT_EQ(std::vector<std::string>{dir_.File("pkg.exe")},
            fake_.desktop.opened);
  EXPECT_EQ(std::string("12- 6 21:54  ") + msg::kUpdated + "\r\n", Log());
}

TEST_F(CompleteUpdateTest, WithoutExecuteNothingIsOpened) {
  Run(/*execute=*/false, /*package_present=*/true);
  EXPECT_TRUE(fake_.windows.commands.empty());
  EXPECT_EQ((std::vector<std::string>{"box", "sleep"}), fake_.windows.events);
  EXPECT_EQ(std::string("12- 6 21:54  ") + msg::kUpdated + "\r\n", Log());
}

TEST_F(CompleteUpdateTest, MissingPackageIsLoggedBeforeTheLastLine) {
  Run(/*execute=*/true, /*package_present=*/false);
  EXPECT_TRUE(fake_.desktop.opened.empty());
  // The line names the package it looked for.
  EXPECT_EQ(std::string("12- 6 21:54  ") + msg::kPackageMissing +
                msg::kDetailSeparator + dir_.File("pkg.exe") + "\r\n" +
                "12- 6 21:54  " + msg::kUpdated + "\r\n",
            Log());
}

TEST_F(CompleteUpdateTest, HostThatIsNoLongerAWindowGetsNothing) {
  WindowHandle host = fake_.windows.Add(nullptr, "#32770", "Host");
  fake_.windows.Add(host, "Button", kTitle);
  // The search finds it, but it is gone by the time of the check.
  fake_.windows.gone_before_check = true;
  Run(false, true);
  EXPECT_TRUE(fake_.windows.commands.empty());
  EXPECT_EQ(1u, fake_.desktop.boxes.size());
}

}  // namespace
}  // namespace vorn
