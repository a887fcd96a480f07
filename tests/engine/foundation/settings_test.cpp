#include "engine/foundation/settings.h"

#include <gtest/gtest.h>

#include "tests/engine/foundation/test_support.h"

namespace vx {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  testing::SettingsGuard guard_;
};

TEST_F(SettingsTest, ChoosesDateStyleFromLanguage) {
  const struct {
    int primary, sub, style;
  } kCases[] = {
      {7, 1, 5},  {9, 1, 0},  {9, 2, 2},  {10, 1, 6}, {12, 1, 4},
      {12, 3, 7}, {16, 1, 3}, {25, 1, 8}, {19, 1, 0},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(DateStyleForLanguage(c.primary, c.sub), c.style) << c.primary << "/" << c.sub;
  }
}

TEST_F(SettingsTest, SetsSeparatorsWithTheStyle) {
  const struct {
    int style;
    char decimal, thousands;
  } kCases[] = {
      {0, '.', ','}, {2, '.', ','}, {3, ',', '.'}, {6, ',', '.'},
      {7, '.', ','}, {8, '.', ' '}, {9, '.', ','},
  };
  for (const auto& c : kCases) {
    SetDateStyle(c.style);
    EXPECT_EQ(DecimalSeparator, c.decimal) << c.style;
    EXPECT_EQ(ThousandsSeparator, c.thousands) << c.style;
  }
  EXPECT_EQ(EffectiveDateStyle(), 0) << "style 9 counts as 0";
}

}  // namespace
}  // namespace vx
