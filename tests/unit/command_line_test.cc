#include "shell/command_line.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

struct SplitCase {
  const char* name;
  const char* line;
  bool ok;
  const char* url;
  const char* version;
  const char* dir;
  const char* package;
  bool execute;
  const char* title;
};

const SplitCase kSplitCases[] = {
    {"Plain",
     "C:\\app\\vornupdate.exe;http://h/v.txt;1.0;C:\\dl;setup.exe;Execute;My "
     "App",
     true, "http://h/v.txt", "1.0", "C:\\dl", "setup.exe", true, "My App"},
    {"TextBeforeFirstSeparatorIgnored", "prog --anything \"x\";u;v;d;p;;T",
     true, "u", "v", "d", "p", false, "T"},
    {"SeparatorInProgramPathShiftsFields",
     "C:\\a;b\\prog.exe;u;v;d;p;Execute;T", true, "b\\prog.exe", "u", "v", "d",
     false, "Execute;T"},
    {"BlanksKept", "prog; u ; v ; d ; p ; Execute ; T ", true, " u ", " v ",
     " d ", " p ", false, " T "},
    {"QuotesKept", "prog;\"u\";'v';d;p;Execute;\"T\"", true, "\"u\"", "'v'",
     "d", "p", true, "\"T\""},
    {"TitleWithSeparators", "prog;u;v;d;p;Execute;A;B;C", true, "u", "v", "d",
     "p", true, "A;B;C"},
    {"TrailingBlankInTitle", "prog;u;v;d;p;x;Title ", true, "u", "v", "d", "p",
     false, "Title "},
    {"ExecuteUpperCase", "prog;u;v;d;p;EXECUTE;T", true, "u", "v", "d", "p",
     false, "T"},
    {"ExecuteLowerCase", "prog;u;v;d;p;execute;T", true, "u", "v", "d", "p",
     false, "T"},
    {"ExecuteTrailingBlank", "prog;u;v;d;p;Execute ;T", true, "u", "v", "d",
     "p", false, "T"},
    {"ExecuteEmpty", "prog;u;v;d;p;;T", true, "u", "v", "d", "p", false, "T"},
    {"EmptyTitleAtEnd", "prog;u;v;d;p;Execute;", true, "u", "v", "d", "p", true,
     ""},
    {"ExactlyFiveSeparatorsNoTitle", "prog;u;v;d;p;Execute", true, "u", "v",
     "d", "p", false, ""},
    {"EmptyFieldsAllowed", "prog;;;;;;", true, "", "", "", "", false, ""},
    {"FourSeparators", "prog;u;v;d;p", false, "", "", "", "", false, ""},
    {"NoArguments", "prog", false, "", "", "", "", false, ""},
    {"EmptyLine", "", false, "", "", "", "", false, ""},
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, Fields) {
  const SplitCase& c = GetParam();
  UpdateParameters p;
  ASSERT_EQ(c.ok, SplitCommandLine(c.line, &p));
  if (!c.ok) return;
  EXPECT_EQ(c.url, p.version_file_url);
  EXPECT_EQ(c.version, p.current_version);
  EXPECT_EQ(c.dir, p.download_dir);
  EXPECT_EQ(c.package, p.package_name);
  EXPECT_EQ(c.execute, p.execute);
  EXPECT_EQ(c.title, p.host_title);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitCommandLineTest,
                         ::testing::ValuesIn(kSplitCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vorn
