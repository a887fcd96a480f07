// The language driver table: the ids and level 7 names and the pages they mean.

#include "engine/table/language_driver.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/os/codepage.h"

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
      // Swapped by some libraries: 0x65 is Russian, 0x66 Nordic.
      {0x66, 865},  {0x68, 895},  {0x69, 620},  {0x04, 10000}, {0x86, 737}, {0x96, 10007},
      {0x97, 10029}, {0x98, 10006},
  };
  for (const auto& [id, page] : kExpected) {
    SCOPED_TRACE(id);
    ASSERT_NE(FindLanguageDriver(id), nullptr);
    EXPECT_EQ(FindLanguageDriver(id)->code_page, page);
  }
  for (const std::uint8_t unknown : {0x00, 0x05, 0x6D, 0xF0, 0xFF}) {
    EXPECT_EQ(FindLanguageDriver(unknown), nullptr) << int{unknown};
  }
  EXPECT_EQ(LanguageDrivers().size(), 67u);
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

// Every page the table names converts both ways, byte for byte over 0x80..0xFF: a byte that is
// a character comes back as itself, and one that is none is refused rather than guessed.
TEST(LanguageDriverTest, EveryPageNamedConvertsEachByteBothWays) {
  for (const LanguageDriver& d : LanguageDrivers()) {
    SCOPED_TRACE(d.code_page);
    ASSERT_TRUE(os::CodePageAvailable(d.code_page));
    int characters = 0;
    for (int b = 0x80; b <= 0xFF; ++b) {
      const std::string byte(1, static_cast<char>(b));
      const os::ConvertedText text = os::DecodeCodePage(d.code_page, byte, os::OnFault::kStop);
      if (text.fault != os::TextFault::kNone) continue;  // a lead byte or no character
      ++characters;
      const os::ConvertedText back = os::EncodeCodePage(d.code_page, text.text, os::OnFault::kStop);
      EXPECT_EQ(back.text, byte) << b;
    }
    // Two-byte pages (949 has no one-byte character beyond ASCII) are the others' business.
    const bool two_byte = d.code_page == 936 || d.code_page == 949 || d.code_page == 950;
    EXPECT_TRUE(two_byte || characters > 0);
  }
  // The letters of each language at the bytes its page puts them, both ways; the two DOS pages
  // of our own also byte for byte at every byte they change from 437.
  const struct {
    int page;
    const char* text;
    const char* bytes;
  } kLetters[] = {
      {620, "ąćęłńóśźżĄĆĘŁŃÓŚŹŻ",
       "\x86\x8D\x91\x92\xA4\xA2\x9E\xA6\xA7\x8F\x95\x90\x9C\xA5\xA3\x98\xA0\xA1"},
      {895, "áčďéěíňóřšťúůýžÁČĎÉĚÍŇÓŘŠŤÚŮÝŽĹĺĽľŔŕÄÔ§",
       "\xA0\x87\x83\x82\x88\xA1\xA4\xA2\xA9\xA8\x9F\xA3\x96\x98\x91\x8F\x80\x85"
       "\x90\x89\x8B\xA5\x95\x9E\x9B\x86\x97\xA6\x9D\x92\x8A\x8D\x9C\x8C\xAB\xAA"
       "\x8E\xA7\xAD"},
      {737, "ΑΒΓαβγ", "\x80\x81\x82\x98\x99\x9A"},
      {857, "ıİşŞğĞ", "\x8D\x98\x9F\x9E\xA7\xA6"},
      {861, "ÐðÞþ", "\x8B\x8C\x8D\x95"},
      {865, "øØ¤", "\x9B\x9D\xAF"},
      {866, "АЯая", "\x80\x9F\xA0\xEF"},
      {874, "กฮ", "\xA1\xCE"},
      {1253, "ΑΩάώ", "\xC1\xD9\xDC\xFE"},
      {1254, "ĞğİışŞ", "\xD0\xF0\xDD\xFD\xFE\xDE"},
      {1255, "את", "\xE0\xFA"},
      {1256, "اي", "\xC7\xED"},
      {1257, "ĄąŠš", "\xC0\xE0\xD0\xF0"},
      {1258, "ĂăĐđ", "\xC3\xE3\xD0\xF0"},
      {10007, "АЯ", "\x80\x9F"},
      {10029, "Āā", "\x81\x82"},
      {10000, "ÄÅ", "\x80\x81"},
      {10006, "ΑΒΓαβγΆά€", "\xB0\xB5\xA1\xE1\xE2\xE7\xCD\xC0\x9C"},
  };
  for (const auto& c : kLetters) {
    SCOPED_TRACE(c.page);
    EXPECT_EQ(os::EncodeCodePage(c.page, c.text, os::OnFault::kStop).text, c.bytes);
    EXPECT_EQ(os::DecodeCodePage(c.page, c.bytes, os::OnFault::kStop).text, c.text);
  }
  // Outside the letters they change, Mazovia and Kamenický are 437.
  for (int b = 0xAE; b <= 0xFF; ++b) {
    const std::string byte(1, static_cast<char>(b));
    for (const int page : {620, 895}) {
      EXPECT_EQ(os::DecodeCodePage(page, byte, os::OnFault::kStop).text,
                os::DecodeCodePage(437, byte, os::OnFault::kStop).text)
          << page << " " << b;
    }
  }
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
