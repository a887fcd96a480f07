// Key encodings and comparators, pinned at the byte level.
#include "engine/index/key_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vx {
namespace {

std::vector<int> Bytes(const PackedDecimal& p) { return {p.begin(), p.end()}; }

TEST(KeyCodecTest, PacksNumbersAsDecimalDigits) {
  const struct {
    const char* text;
    int decimals;
    std::vector<int> bytes;
  } kCases[] = {
      {"0", 0, {0x34, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"1", 0, {0x35, 0x29, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"-1", 0, {0x35, 0xA9, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"         10", 0, {0x36, 0x29, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"261", 0, {0x37, 0x29, 0x26, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"12345678901", 0, {0x3F, 0x2D, 0x12, 0x34, 0x56, 0x78, 0x90, 0x10, 0, 0, 0, 0}},
      {"0.05", 2, {0x33, 0x05, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      // Trailing zeros fewer than the decimals stay digits and the count is not raised.
      {"1.50", 2, {0x35, 0x0D, 0x15, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"1.00", 2, {0x35, 0x29, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"-0.00", 2, {0x34, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Bytes(TextToPacked(c.text, c.decimals)), c.bytes);
  }
  EXPECT_EQ(Bytes(DoubleToPacked(1.5, 2)), Bytes(TextToPacked("1.50", 2)));
  EXPECT_EQ(Bytes(DoubleToPacked(-42, 0)), Bytes(TextToPacked("-42", 0)));
  // Halves round away from zero on the decimal value, as STR rounds them.
  EXPECT_EQ(Bytes(DoubleToPacked(2.5, 0)), Bytes(TextToPacked("3", 0)));
  EXPECT_EQ(Bytes(DoubleToPacked(-0.125, 2)), Bytes(TextToPacked("-0.13", 2)));
  EXPECT_EQ(Bytes(DoubleToPacked(2.675, 2)), Bytes(TextToPacked("2.68", 2)));
}

TEST(KeyCodecTest, PackedKeysOrderLikeTheirValues) {
  const double kValues[] = {-1e12, -123.5, -10, -9,    -1,  -0.5, 0,   0.001,        0.5,
                            1,     9,      10,  99.99, 100, 261,  1e9, 12345678901.0};
  for (double a : kValues) {
    for (double b : kValues) {
      const PackedDecimal pa = DoubleToPacked(a, 3);
      const PackedDecimal pb = DoubleToPacked(b, 3);
      const int expected = a < b ? -1 : (a > b ? 1 : 0);
      const int got = ComparePackedKeys(pa.data(), pb.data(), 12);
      SCOPED_TRACE(std::to_string(a) + " vs " + std::to_string(b));
      EXPECT_EQ(got < 0 ? -1 : (got > 0 ? 1 : 0), expected);
      const int down = ComparePackedKeysDescending(pa.data(), pb.data(), 12);
      EXPECT_EQ(down < 0 ? -1 : (down > 0 ? 1 : 0), -expected);
    }
    EXPECT_NEAR(PackedToDouble(DoubleToPacked(a, 3).data()), a, 1e-9 * (1 + std::abs(a)));
  }
  // Digit counts written by other programs (1 instead of 10) compare the same.
  const std::uint8_t short_count[12] = {0x35, 0x05, 0x10};
  const PackedDecimal ours = TextToPacked("1");
  EXPECT_EQ(ComparePackedKeys(short_count, ours.data(), 12), 0);
}

TEST(KeyCodecTest, PackedKeysThatDifferInTheirLastDigitCompareByIt) {
  // Every digit count from 1 to 20, odd counts ending in a half-used byte: the comparison
  // covers every digit byte the longer key uses (123456789.01 < 123456789.02).
  const std::string kDigits = "12345678901234567890";
  for (std::size_t count = 1; count <= kDigits.size(); ++count) {
    std::string low = kDigits.substr(0, count);
    std::string high = low;
    high.back() = static_cast<char>(high.back() == '9' ? '9' : high.back() + 1);
    if (high == low) low.back() = '8';
    const int decimals = count >= 3 ? 2 : 0;
    if (decimals != 0) {
      low.insert(low.size() - 2, ".");
      high.insert(high.size() - 2, ".");
    }
    for (const bool negative : {false, true}) {
      const std::string a = (negative ? "-" : "") + low;
      const std::string b = (negative ? "-" : "") + high;
      SCOPED_TRACE(a + " vs " + b);
      const PackedDecimal pa = TextToPacked(a, decimals);
      const PackedDecimal pb = TextToPacked(b, decimals);
      const int expected = negative ? 1 : -1;
      EXPECT_EQ(ComparePackedKeys(pa.data(), pb.data(), 12) < 0 ? -1 : 1, expected);
      EXPECT_EQ(ComparePackedKeys(pb.data(), pa.data(), 12) < 0 ? -1 : 1, -expected);
      EXPECT_EQ(ComparePackedKeys(pa.data(), pa.data(), 12), 0);
      EXPECT_EQ(ComparePackedKeysDescending(pa.data(), pb.data(), 12) < 0 ? -1 : 1, -expected);
    }
  }
}

TEST(KeyCodecTest, DatesAreDoublesWithBlankLast) {
  const auto blank = DoubleKey(1e100);
  const auto day = DoubleKey(2451545);  // 1 January 2000
  EXPECT_EQ(std::vector<int>(day.begin(), day.end()),
            (std::vector<int>{0x00, 0x00, 0x00, 0x80, 0x2C, 0xB4, 0x42, 0x41}));
  EXPECT_LT(CompareDoubleKeys(day.data(), blank.data(), 8), 0);
  EXPECT_GT(CompareDoubleKeysDescending(day.data(), blank.data(), 8), 0);
  EXPECT_EQ(KeyDouble(day.data()), 2451545);
}

TEST(KeyCodecTest, CharacterKeysCompareUnsignedBytesAndDescendingSwaps) {
  const std::uint8_t a[] = {'A', 0x81};
  const std::uint8_t b[] = {'B', 0x01};
  const std::uint8_t high[] = {'A', 0xFF};
  EXPECT_LT(CompareCharKeys(a, b, 2), 0);
  EXPECT_LT(CompareCharKeys(a, high, 2), 0);  // unsigned: 0x81 < 0xFF
  EXPECT_EQ(CompareCharKeys(a, high, 1), 0);
  EXPECT_GT(CompareCharKeysDescending(a, b, 2), 0);  // B before A
  // Long keys are compared eight bytes at a time: a difference in any byte of a word, in the
  // bytes past the last whole word, and only past the length given.
  const std::string base = "Film number 0012345 trailing";
  for (std::size_t at = 0; at < base.size(); ++at) {
    SCOPED_TRACE(at);
    std::string lower = base, higher = base;
    lower[at] = '\x01';
    higher[at] = '\xF0';
    const auto* l = reinterpret_cast<const std::uint8_t*>(lower.data());
    const auto* h = reinterpret_cast<const std::uint8_t*>(higher.data());
    const auto* m = reinterpret_cast<const std::uint8_t*>(base.data());
    const int n = static_cast<int>(base.size());
    EXPECT_LT(CompareCharKeys(l, h, n), 0);
    EXPECT_GT(CompareCharKeys(h, m, n), 0);
    EXPECT_EQ(CompareCharKeys(l, l, n), 0);
    EXPECT_EQ(CompareCharKeys(l, h, static_cast<int>(at)), 0);
  }
}

TEST(KeyCodecTest, ChoosesComparatorFromHeaderAndResultTypes) {
  EXPECT_EQ(ChooseComparator('N', 'N', false), &ComparePackedKeys);
  EXPECT_EQ(ChooseComparator('F', 'N', true), &ComparePackedKeysDescending);
  EXPECT_EQ(ChooseComparator('C', 'C', false), &CompareCharKeys);
  EXPECT_EQ(ChooseComparator('D', 'D', false), &CompareDoubleKeys);
  EXPECT_EQ(ChooseComparator('D', 'N', true), &CompareDoubleKeysDescending);
  EXPECT_EQ(ChooseComparator('C', 'L', false), nullptr);
}

TEST(KeyCodecTest, NormalizesExpressionsOutsideLiterals) {
  EXPECT_EQ(NormalizeKeyExpression("TYP + nummer"), "TYP+NUMMER");
  EXPECT_EQ(NormalizeKeyExpression("upper(name)+'a b'\t+ \"x'y\""), "UPPER(NAME)+\"a b\"+\"x'y\"");
  EXPECT_EQ(NormalizeMarkerText("User  defined KeyMaker  "), "USER DEFINED KEYMAKER");
  EXPECT_EQ(NormalizeMarkerText("a = 'b  c'"), "A='b  c'");
}

}  // namespace
}  // namespace vx
