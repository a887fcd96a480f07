#include "platform/os/codepage.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/platform/os/scoped_env.h"

namespace vx::os {
namespace {

// Every test starts from 437/1252 and leaves the pages as it found them.
class CodePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_oem_ = OemCodePage();
    saved_ansi_ = AnsiCodePage();
    ASSERT_TRUE(SetCodePages(437, 1252));
  }
  void TearDown() override { SetCodePages(saved_oem_, saved_ansi_); }

  int saved_oem_ = 0;
  int saved_ansi_ = 0;
};

std::string Byte(int b) { return std::string(1, static_cast<char>(b)); }

TEST_F(CodePageTest, ConvertsCharactersBothPagesHold) {
  const struct {
    int oem_page, ansi_page, oem, ansi;
  } kCases[] = {
      {437, 1252, 0x82, 0xE9},  // é
      {437, 1252, 0xE1, 0xDF},  // ß
      {850, 1252, 0x84, 0xE4},  // ä
      {850, 1252, 0xB7, 0xC0},  // À
      {866, 1251, 0x80, 0xC0},  // А
      {866, 1251, 0xF1, 0xB8},  // ё
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.oem_page << " " << std::hex << c.oem);
    ASSERT_TRUE(SetCodePages(c.oem_page, c.ansi_page));
    EXPECT_EQ(OemToAnsi(Byte(c.oem)), Byte(c.ansi));
    EXPECT_EQ(AnsiToOem(Byte(c.ansi)), Byte(c.oem));
  }
  ASSERT_TRUE(SetCodePages(437, 1252));
  std::string text = "Caf\x82 \xC4\xC4";
  OemToAnsiBuffer(text);
  EXPECT_EQ(text, "Caf\xE9 --");
  AnsiToOemBuffer(text);
  EXPECT_EQ(text, "Caf\x82 --");
}

TEST_F(CodePageTest, RoundTripsExactlyTheSharedCharacters) {
  // Counts of the bytes 0x80..0xFF of the OEM page whose character the ANSI page also holds.
  const struct {
    int oem_page, ansi_page, shared;
  } kCases[] = {{437, 1252, 54}, {437, 1251, 8}, {850, 1252, 97},
                {850, 1251, 15}, {866, 1252, 4}, {866, 1251, 77}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.oem_page << "/" << c.ansi_page);
    ASSERT_TRUE(SetCodePages(c.oem_page, c.ansi_page));
    EXPECT_EQ(OemCodePage(), c.oem_page);
    EXPECT_EQ(AnsiCodePage(), c.ansi_page);
    int shared = 0;
    for (int b = 0; b < 256; ++b) {
      const std::string ansi = OemToAnsi(Byte(b));
      if (b < 0x80) {
        EXPECT_EQ(ansi, Byte(b));
        EXPECT_EQ(AnsiToOem(Byte(b)), Byte(b));
      } else if (AnsiToOem(ansi) == Byte(b)) {
        ++shared;
        EXPECT_EQ(AnsiToUtf8(ansi), OemToUtf8(Byte(b))) << b;
      }
    }
    EXPECT_EQ(shared, c.shared);
  }
}

TEST_F(CodePageTest, FallsBackToLookAlikes) {
  const struct {
    int oem_page, ansi_page;
    bool to_ansi;
    int from, to;
  } kCases[] = {
      {437, 1252, true, 0xC4, '-'},    // ─
      {437, 1252, true, 0xBA, '|'},    // ║
      {437, 1252, true, 0xCE, '+'},    // ╬
      {437, 1252, true, 0xB0, '?'},    // ░
      {437, 1252, false, 0xC0, 'A'},   // À, which 437 lacks
      {437, 1252, false, 0x8A, 'S'},   // Š
      {437, 1252, false, 0x93, '"'},   // “
      {437, 1252, false, 0x80, '?'},   // €
      {866, 1251, false, 0xB2, 'I'},   // І
      {437, 1251, false, 0xAF, 'I'},   // Ї, through І
      {866, 1251, false, 0xA5, 0x83},  // Ґ as Г
      {866, 1251, false, 0xAB, '"'},   // «
      {866, 1251, true, 0xB3, '|'},    // │
      {437, 1251, true, 0x82, 'e'},    // é
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message()
                 << c.oem_page << "/" << c.ansi_page << " " << std::hex << c.from);
    ASSERT_TRUE(SetCodePages(c.oem_page, c.ansi_page));
    EXPECT_EQ(c.to_ansi ? OemToAnsi(Byte(c.from)) : AnsiToOem(Byte(c.from)), Byte(c.to));
  }
}

TEST_F(CodePageTest, RefusesUnknownPages) {
  EXPECT_FALSE(SetCodePages(1252, 437));
  EXPECT_FALSE(SetCodePages(437, 437));
  EXPECT_FALSE(SetCodePages(852, 1250));
  EXPECT_EQ(OemCodePage(), 437);
  EXPECT_EQ(AnsiCodePage(), 1252);
}

TEST_F(CodePageTest, ChangesCaseInWesternPage) {
  const int kPairs[][2] = {{'a', 'A'},   {'z', 'Z'},   {0xE9, 0xC9}, {0xE0, 0xC0}, {0xFE, 0xDE},
                           {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9E, 0x8E}, {0xFF, 0x9F}};
  for (const auto& [lower, upper] : kPairs) {
    SCOPED_TRACE(lower);
    EXPECT_EQ(AnsiUpper(static_cast<char>(lower)), static_cast<char>(upper));
    EXPECT_EQ(AnsiLower(static_cast<char>(upper)), static_cast<char>(lower));
    EXPECT_TRUE(AnsiIsAlpha(static_cast<char>(lower)));
    EXPECT_TRUE(AnsiIsAlpha(static_cast<char>(upper)));
  }
  // ß and µ have no upper case in the page; × and ÷ sit among the letters but are none.
  for (int b : {0xDF, 0xB5, 0xD7, 0xF7, int{'1'}, int{'_'}}) {
    EXPECT_EQ(AnsiUpper(static_cast<char>(b)), static_cast<char>(b)) << b;
    EXPECT_EQ(AnsiLower(static_cast<char>(b)), static_cast<char>(b)) << b;
  }
  for (int b : {0xDF, 0xB5, 0xAA, 0x83}) EXPECT_TRUE(AnsiIsAlpha(static_cast<char>(b))) << b;
  for (int b : {0xD7, 0xF7, 0xA9, 0x80, int{'_'}, int{'5'}}) {
    EXPECT_FALSE(AnsiIsAlpha(static_cast<char>(b))) << b;
  }
  EXPECT_EQ(AnsiUpperText("ma\xDF caf\xE9"), "MA\xDF CAF\xC9");
  EXPECT_EQ(AnsiLowerText("\xC9T\xC9"), "\xE9t\xE9");
}

TEST_F(CodePageTest, ChangesCaseInCyrillicPage) {
  ASSERT_TRUE(SetCodePages(866, 1251));
  const int kPairs[][2] = {{0xE0, 0xC0}, {0xFF, 0xDF}, {0xB8, 0xA8}, {0xB3, 0xB2},
                           {0xB4, 0xA5}, {0xA2, 0xA1}, {0x90, 0x80}, {0x9F, 0x8F},
                           {0xBF, 0xAF}, {0xBA, 0xAA}, {0xBE, 0xBD}, {0xBC, 0xA3}};
  for (const auto& [lower, upper] : kPairs) {
    SCOPED_TRACE(lower);
    EXPECT_EQ(AnsiUpper(static_cast<char>(lower)), static_cast<char>(upper));
    EXPECT_EQ(AnsiLower(static_cast<char>(upper)), static_cast<char>(lower));
    EXPECT_TRUE(AnsiIsAlpha(static_cast<char>(lower)));
  }
  for (int b : {0xB9, 0xAB, 0x96}) EXPECT_FALSE(AnsiIsAlpha(static_cast<char>(b))) << b;
  // "Привет" in 1251.
  EXPECT_EQ(AnsiUpperText("\xCF\xF0\xE8\xE2\xE5\xF2"), "\xCF\xD0\xC8\xC2\xC5\xD2");
}

TEST_F(CodePageTest, ConvertsToAndFromUtf8) {
  EXPECT_EQ(AnsiToUtf8("Caf\xE9 \x80"), "Caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(Utf8ToAnsi("Caf\xC3\xA9 \xE2\x82\xAC"), "Caf\xE9 \x80");
  EXPECT_EQ(AnsiToUtf8("\x81"), "\xC2\x81");  // an undefined byte stays its C1 control
  EXPECT_EQ(Utf8ToAnsi("\xC2\x81"), "\x81");
  EXPECT_EQ(Utf8ToAnsi("\xE6\x97\xA5\xD0\x96"), "??");           // 日 and Ж are not in 1252
  EXPECT_EQ(OemToUtf8("\xC9\xCD"), "\xE2\x95\x94\xE2\x95\x90");  // ╔═
  EXPECT_EQ(Utf8ToOem("\xC3\xA9"), "\x82");

  EXPECT_EQ(CodePageToUtf8(1251, "\xCF\xF0\xE8\xE2\xE5\xF2"),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_EQ(Utf8ToCodePage(866, "\xD0\x9F\xD1\x80\xD0\xB8"), "\x8F\xE0\xA8");
  EXPECT_EQ(Utf8ToCodePage(850, "\xC3\x80"), "\xB7");
  EXPECT_EQ(CodePageToUtf8(999, "ab\x80"), "ab?");
  EXPECT_EQ(Utf8ToCodePage(999, "a\xC3\xA9"), "a?");

  for (int page : {437, 850, 866, 1252, 1251}) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(Utf8ToCodePage(page, CodePageToUtf8(page, all)), all) << page;
  }
}

TEST_F(CodePageTest, ReplacesBrokenUtf8) {
  const struct {
    const char* utf8;
    const char* ansi;
  } kCases[] = {
      {"\xC3", "?"},                 // truncated at the end
      {"\xC3(", "?("},               // truncated before ASCII
      {"\xE2\x82Z", "?Z"},           // one replacement for the broken sequence
      {"\xC0\xAF", "??"},            // overlong "/"
      {"\xE0\x80\xAF", "???"},       // overlong three-byte form
      {"\xED\xA0\x80", "???"},       // a surrogate
      {"\xF4\x90\x80\x80", "????"},  // above U+10FFFF
      {"\xF0\x9F\x98\x80", "?"},     // valid, but not in the page
      {"\x80\xBF", "??"},            // stray continuation bytes
      {"\xFE\xFF", "??"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToAnsi(c.utf8), c.ansi);
  }

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(random() % 12, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 256);
    const std::string ansi = Utf8ToAnsi(bytes);
    ASSERT_LE(ansi.size(), bytes.size());
    ASSERT_EQ(Utf8ToOem(bytes).size(), ansi.size());
  }
}

TEST_F(CodePageTest, PicksPagesFromLocale) {
  const struct {
    const char* lang;
    int oem, ansi;
  } kCases[] = {
      {"ru_RU.UTF-8", 866, 1251}, {"uk_UA.UTF-8", 866, 1251}, {"be_BY", 866, 1251},
      {"en_US.UTF-8", 437, 1252}, {"C", 437, 1252},           {"C.UTF-8", 437, 1252},
      {"de_DE.UTF-8", 850, 1252}, {"en_GB.UTF-8", 850, 1252}, {"fr_FR@euro", 850, 1252},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lang);
    test_support::ScopedEnv env;
    env.Set("LC_ALL", nullptr);
    env.Set("LC_CTYPE", nullptr);
    env.Set("LANG", c.lang);
    SetCodePagesFromLocale();
    EXPECT_EQ(OemCodePage(), c.oem);
    EXPECT_EQ(AnsiCodePage(), c.ansi);
  }
  test_support::ScopedEnv env;
  env.Set("LC_ALL", "ru_RU.UTF-8");
  env.Set("LANG", "de_DE.UTF-8");
  SetCodePagesFromLocale();
  EXPECT_EQ(OemCodePage(), 866);
}

TEST(StrictCodePageTest, DecodesAndEncodesThroughTablesAndIconv) {
  const struct {
    int page;
    const char* bytes;
    const char* utf8;
  } kCases[] = {
      {437, "\xE4\xF2\xB0", "\u03A3\u2265\u2591"},        // Σ≥░: only the OEM page has them
      {1252, "B\xFC" "cher", "B\u00FCcher"},
      {852, "Za\xBE\xA2\x88\x86", "Za\u017C\u00F3\u0142\u0107"},  // Zażółć
      {1250, "\xB9\xE6\xEA\xB3", "\u0105\u0107\u0119\u0142"},    // ąćęł
      {866, "\x8F\xE0\xA8", "\u041F\u0440\u0438"},
      {1251, "\xCF\xF0\xE8", "\u041F\u0440\u0438"},
      {737, "\x98", "\u03B1"},
      {932, "\x93\xFA\x96\x7B", "\u65E5\u672C"},  // 日本, two bytes each
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.page);
    EXPECT_TRUE(CodePageAvailable(c.page));
    const ConvertedText decoded = DecodeCodePage(c.page, c.bytes, OnFault::kStop);
    EXPECT_EQ(decoded.fault, TextFault::kNone);
    EXPECT_EQ(decoded.text, c.utf8);
    const ConvertedText encoded = EncodeCodePage(c.page, c.utf8, OnFault::kStop);
    EXPECT_EQ(encoded.fault, TextFault::kNone);
    EXPECT_EQ(encoded.text, c.bytes);
  }
  EXPECT_FALSE(CodePageAvailable(0));
  EXPECT_FALSE(CodePageAvailable(4242));
  EXPECT_EQ(DecodeCodePage(4242, "a", OnFault::kReplace).fault, TextFault::kUnknownPage);
}

TEST(StrictCodePageTest, NamesTheFirstFaultOrReplacesEveryOne) {
  const struct {
    int page;
    bool decode;
    const char* input;
    TextFault fault;
    std::size_t offset, length;
    const char* replaced;
    std::size_t count;
  } kCases[] = {
      // "Σ≥░" has no place in the Windows page: no "?" by way of the other page.
      {1252, false, "x\u03A3\u2265\u2591", TextFault::kNotInPage, 1, 2, "x???", 3},
      {852, false, "a\u00E6b", TextFault::kNotInPage, 1, 2, "a?b", 1},  // æ: not in 852
      {437, false,
       "a\xFF"
       "b\xC3",
       TextFault::kInvalidUtf8, 1, 1, "a?b?", 2},
      {1250, false, "\xE2\x82", TextFault::kInvalidUtf8, 0, 2, "?", 1},
      // Bytes 1250 leaves undefined are no characters, though Windows's own conversion gives
      // the C1 control of their value; nor is such a control one of its characters.
      {1250, true,
       "a\x81"
       "b\x83",
       TextFault::kNoCharacter, 1, 1, "a?b?", 2},
      {1250, false, "a\u0081", TextFault::kNotInPage, 1, 2, "a?", 1},
      {932, true, "a\x93", TextFault::kNoCharacter, 1, 1, "a?", 1},  // cut short
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.input);
    const auto convert = [&](OnFault on_fault) {
      return c.decode ? DecodeCodePage(c.page, c.input, on_fault)
                      : EncodeCodePage(c.page, c.input, on_fault);
    };
    const ConvertedText stopped = convert(OnFault::kStop);
    EXPECT_EQ(stopped.fault, c.fault);
    EXPECT_EQ(stopped.fault_offset, c.offset);
    EXPECT_EQ(stopped.fault_length, c.length);
    EXPECT_EQ(stopped.replaced, 0u);
    const ConvertedText replaced = convert(OnFault::kReplace);
    EXPECT_EQ(replaced.fault, c.fault);
    EXPECT_EQ(replaced.text, c.replaced);
    EXPECT_EQ(replaced.replaced, c.count);
  }
}

}  // namespace
}  // namespace vx::os
