// The language driver table: the ids and level 7 names and the pages they mean.

#include "engine/table/language_driver.h"

#include <gtest/gtest.h>

#include <map>

namespace vx {
namespace {

TEST(LanguageDriverTest, IdsMeanTheirPages) {
  // The ids other programs write most, and every page the table reaches.
  const std::map<std::uint8_t, int> kExpected = {
      {0x01, 437},  {0x02, 850},  {0x03, 1252}, {0x08, 865},  {0x13, 932}, {0x1B, 437},
      {0x1C, 863},  {0x22, 852},  {0x24, 860},  {0x26, 866},  {0x4D, 936}, {0x4E, 949},
      {0x4F, 950},  {0x50, 874},  {0x57, 1252}, {0x64, 852},  {0x65, 866}, {0x67, 861},
      {0x6A, 737},  {0x6B, 857},  {0x7D, 1255}, {0x7E, 1256}, {0x87, 852}, {0xC8, 1250},
      {0xC9, 1251}, {0xCA, 1254}, {0xCB, 1253}, {0xCC, 1257},
  };
  for (const auto& [id, page] : kExpected) {
    SCOPED_TRACE(id);
    ASSERT_NE(FindLanguageDriver(id), nullptr);
    EXPECT_EQ(FindLanguageDriver(id)->code_page, page);
  }
  for (const std::uint8_t unknown : {0x00, 0x04, 0x69, 0xF0, 0xFF}) {
    EXPECT_EQ(FindLanguageDriver(unknown), nullptr) << int{unknown};
  }
  EXPECT_EQ(LanguageDrivers().size(), 60u);
  // The mark written for a page reads back as that page.
  for (const LanguageDriver& d : LanguageDrivers()) {
    SCOPED_TRACE(d.id);
    const auto written = LanguageDriverForCodePage(d.code_page);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(FindLanguageDriver(*written)->code_page, d.code_page);
  }
  EXPECT_EQ(*LanguageDriverForCodePage(1252), 0x03);
  EXPECT_FALSE(LanguageDriverForCodePage(65001).has_value());
}

TEST(LanguageDriverTest, Level7NamesMeanTheirPages) {
  const std::pair<const char*, int> kNames[] = {
      {"DBWINWE0", 1252}, {"DBWINUS0", 1252}, {"DB437US0", 437},
      {"db852hdc", 852},  {"DB866RU0", 866},  {"DB850DE0", 850},
      {"DB865NO0", 865},  {"DB0", 0},         {"", 0},
      {"DB999XX0", 0},    {"DBWINXX9", 0},    {"PARADOX1", 0},
  };
  for (const auto& [name, page] : kNames) {
    EXPECT_EQ(CodePageOfDriverName(name), page) << name;
  }
  EXPECT_EQ(CodePageOfDriverName(std::string_view("DB866RU0\0\0\0", 11)), 866);
  for (const int page : {437, 850, 852, 866, 1252}) {
    EXPECT_EQ(CodePageOfDriverName(DriverNameForCodePage(page)), page);
  }
  EXPECT_EQ(DriverNameForCodePage(1250), "");
}

}  // namespace
}  // namespace vx
