#include "platform/os/system.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/platform/os/scoped_env.h"

namespace vx::os {
namespace {

using test_support::ScopedEnv;

TEST(SystemTest, MapsLocaleToWin32Language) {
  const struct {
    const char* lang;
    int primary, sub;
  } kCases[] = {
      {"de_DE.UTF-8", 7, 1},  {"de_AT", 7, 3},       {"de_DE@euro", 7, 1},
      {"de", 7, 1},           {"en_US.UTF-8", 9, 1}, {"en_GB.UTF-8", 9, 2},
      {"en_CA", 9, 4},        {"fr_BE", 12, 2},      {"fr_CA.UTF-8", 12, 3},
      {"es_ES", 10, 1},       {"es_MX", 10, 2},      {"it_CH", 16, 2},
      {"ru_RU.UTF-8", 25, 1}, {"pt_BR", 22, 1},      {"pt_PT", 22, 2},
      {"sr_RS@latin", 26, 2}, {"C", 9, 1},           {"POSIX", 9, 1},
      {"C.UTF-8", 9, 1},      {"xx_YY", 9, 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lang);
    ScopedEnv env;
    env.Set("LC_ALL", nullptr);
    env.Set("LC_MESSAGES", nullptr);
    env.Set("LANG", c.lang);
    const int id = UserDefaultLangId();
    EXPECT_EQ(PrimaryLanguage(id), c.primary);
    EXPECT_EQ(SubLanguage(id), c.sub);
  }
}

TEST(SystemTest, TakesFirstNonEmptyLocaleVariable) {
  ScopedEnv env;
  env.Set("LC_ALL", "fr_FR.UTF-8");
  env.Set("LC_MESSAGES", "it_IT.UTF-8");
  env.Set("LANG", "de_DE.UTF-8");
  EXPECT_EQ(UserDefaultLangId(), 0x040C);
  env.Set("LC_ALL", "");
  EXPECT_EQ(UserDefaultLangId(), 0x0410);
  env.Set("LC_MESSAGES", nullptr);
  EXPECT_EQ(UserDefaultLangId(), 0x0407);
  env.Set("LANG", nullptr);
  EXPECT_EQ(UserDefaultLangId(), 0x0409);
}

// Callers split an absolute path at its last "/" for the folder that new files go in; a path
// spelled with "\\" (as Windows spells it) gave them no folder, and the files landed in the
// working directory.
TEST(SystemTest, AbsolutePathsAreNormalAndSlashed) {
  for (const std::string relative : {"a/./b/../T.DBF", "a/T.DBF"}) {
    SCOPED_TRACE(relative);
    const std::string absolute = AbsolutePath(relative);
    EXPECT_EQ(absolute.find('\\'), std::string::npos) << absolute;
    ASSERT_GE(absolute.size(), 8u);
    EXPECT_EQ(absolute.substr(absolute.size() - 8), "/a/T.DBF");
    EXPECT_NE(absolute, relative);
  }
  // One written from the root stays as written (on Windows: without the drive letter added).
  EXPECT_EQ(AbsolutePath("/data/./x/../T.DBF"), "/data/T.DBF");
}

TEST(SystemTest, ReportsMachineAndTime) {
  const std::string version = OsVersionText();
  const std::size_t dot = version.find('.');
  EXPECT_TRUE(dot != std::string::npos && dot > 0 && dot + 1 < version.size() &&
              version.find_first_not_of("0123456789.") == std::string::npos &&
              version.find('.', dot + 1) == std::string::npos)
      << version;
  EXPECT_GT(PhysicalMemoryBytes(), 0u);

  const LocalTime t = Now();
  EXPECT_GE(t.year, 2000);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.hour < 24 && t.minute < 60 && t.second < 60 && t.millisecond < 1000);
  // The weekday agrees with the date (Sakamoto's method).
  static constexpr int kMonthOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  const int y = t.year - (t.month < 3 ? 1 : 0);
  EXPECT_EQ(t.weekday, (y + y / 4 - y / 100 + y / 400 + kMonthOffsets[t.month - 1] + t.day) % 7);
}

TEST(SystemTest, CallsMessageHookWhenSet) {
  int calls = 0;
  SetProcessMessagesHook([&] { ++calls; });
  ProcessPendingMessages();
  ProcessPendingMessages();
  EXPECT_EQ(calls, 2);
  SetProcessMessagesHook({});
  ProcessPendingMessages();
  EXPECT_EQ(calls, 2);
}

TEST(SystemDeathTest, FatalExitReportsAndEndsWithCode) {
  EXPECT_EXIT(FatalExit("Program halted.", "Disk full", 101), ::testing::ExitedWithCode(101),
              "Program halted\\.: Disk full");
  EXPECT_EXIT(
      {
        SetFatalMessageHook([](const std::string& caption, const std::string& text) {
          std::fprintf(stderr, "box [%s] %s\n", caption.c_str(), text.c_str());
        });
        FatalExit("Vexel", "broken", 7);
      },
      ::testing::ExitedWithCode(7), "box \\[Vexel\\] broken");
}

}  // namespace
}  // namespace vx::os
