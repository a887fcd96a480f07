// The message and progress windows: sizing to the text, keeping the size for shorter texts,
// centring over the active form, the caption's dialog border, and the progress bar's steps.

#include "components/controls/message_windows.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

TEST(VxMsgTest, IsAHiddenBorderlessYellowWindowUntilShown) {
  TVxMsg message(nullptr);
  EXPECT_FALSE(message.Visible());
  EXPECT_EQ(message.BorderStyle(), bsNone);
  EXPECT_EQ(message.FormStyle(), fsStayOnTop);
  EXPECT_TRUE(message.BorderIcons().Empty());
  EXPECT_EQ(message.Color(), clYellow);
  EXPECT_EQ(message.Width(), 0);
  EXPECT_EQ(message.Height(), 0);
  EXPECT_EQ(message.FramePanel()->BevelWidth(), 2);
  EXPECT_EQ(message.TextPanel()->BorderStyle(), bsSingle);
}

TEST(VxMsgTest, GrowsForALongerTextAndKeepsItsSizeForAShorterOne) {
  TForm owner_form(nullptr);
  owner_form.SetBounds(100, 100, 600, 400);
  owner_form.Show();
  TVxMsg message(nullptr);
  EXPECT_EQ(message.CenterForm(), &owner_form);

  message.ShowText("Reading");
  EXPECT_TRUE(message.Visible());
  const int short_width = message.Width();
  TCanvas measure;
  measure.Font = message.Font();
  EXPECT_EQ(short_width, measure.TextWidth("Reading") + 30);
  EXPECT_EQ(message.Height(), measure.TextHeight("Reading") + 30);
  EXPECT_EQ(message.TextPanel()->Caption(), "Reading");
  // Centred over the form that was active when the window was made.
  EXPECT_NEAR(message.Left() + message.Width() / 2.0, 100 + 600 / 2, 1);
  EXPECT_NEAR(message.Top() + message.Height() / 2.0, 100 + 400 / 2, 1);

  message.ShowText("Reading the whole table, record by record");
  const int long_width = message.Width();
  EXPECT_GT(long_width, short_width);
  message.ShowText("Done");
  EXPECT_EQ(message.Width(), long_width);
  EXPECT_EQ(message.TextPanel()->Caption(), "Done");
  // No text keeps the last one.
  message.ShowText();
  EXPECT_EQ(message.TextPanel()->Caption(), "Done");
}

TEST(VxMsgTest, ACaptionGivesADialogBorderAndHidesTheFrame) {
  TVxMsg message(nullptr);
  message.ShowText("x");
  EXPECT_TRUE(message.FramePanel()->Visible());
  const int plain_height = message.Height();
  message.SetCaption("A rather long caption for so short a text");
  message.ShowText("x");
  EXPECT_EQ(message.BorderStyle(), bsDialog);
  EXPECT_FALSE(message.FramePanel()->Visible());
  EXPECT_GE(message.Height(), plain_height + TForm::kCaptionHeight);
  TCanvas system_font;
  system_font.Font.Name = "System";
  EXPECT_GE(message.Width(), system_font.TextWidth(message.Caption()));
}

TEST(VxProgress100Test, StepsShrinkTheBarAndTheStepAfterTheLastRefillsIt) {
  TVxProgress100 progress(nullptr);
  EXPECT_EQ(progress.Caption(), "Progress");
  EXPECT_TRUE(progress.Visible());
  EXPECT_EQ(progress.Bar(), std::string(100, '|'));
  EXPECT_EQ(progress.TextPanel()->Caption(), std::string(100, '|'));
  progress.Step();
  EXPECT_EQ(progress.TextPanel()->Caption(), std::string(99, '|'));
  for (int step = 2; step <= 100; ++step) progress.Step();
  EXPECT_EQ(progress.Bar(), "");
  progress.Step();  // the 101st
  EXPECT_EQ(progress.Bar(), std::string(100, '|'));
  EXPECT_EQ(progress.TextPanel()->Caption(), std::string(100, '|'));

  TVxProgress100 named(nullptr, "Building index");
  EXPECT_EQ(named.Caption(), "Building index");
}

}  // namespace
}  // namespace vx
