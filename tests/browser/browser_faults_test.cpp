// Faults a user met in the browser, each driven as the user met it: a filter with no match in
// a deep tag, an edit refused for a lock, tags in their writer's own order, tables other
// programs guard, and the small things a day's work runs into.

#include <gmock/gmock.h>

#include <QComboBox>
#include <QLineEdit>
#include <cstdio>

#include "tests/browser/browser_fixture.h"

namespace vx::browser {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Films "Film 00" .. "Film nn" with a TITLE tag of two keys per leaf: a tree of many levels
// and more leaves than a walk to the end and back may pass in one direction.
class DeepTagTest : public BrowserTest {
 protected:
  std::string MakeDeepFilms(int count) {
    std::vector<std::string> titles;
    for (int i = 0; i < count; ++i) {
      char title[16];
      std::snprintf(title, sizeof title, "Film %02d", i);
      titles.emplace_back(title);
    }
    const std::string path = MakeIndexedFilms(titles);
    test::TagShape tag = TitleTag(titles);
    tag.keys_per_leaf = 2;
    test::WriteBytes(dir_.File("movie.MDX"), test::BuildMdx("movie", {tag}));
    return path;
  }
};

TEST_F(DeepTagTest, AFilterWithNoMatchInADeepTagShowsNoRowAndNoError) {
  Browse(MakeDeepFilms(60));
  browser_->OrderBox->setCurrentIndex(1);
  browser_->FilterField->setText("YEAR > 9999");
  Press(browser_->FilterField, Qt::Key_Return);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
  EXPECT_THAT(Status(), HasSubstr("0 of 60 records match"));
  // No row stands for a record the filter hides.
  EXPECT_EQ(browser_->Grid->DataLink().RecordCount(), 0);
  EXPECT_TRUE(browser_->Table->IsEmpty());
  for (std::uint16_t key : {VK_NEXT, VK_PRIOR, VK_END, VK_HOME, VK_NEXT}) GridKey(key);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
  // Up and down over a leaf's edge many times, then the whole tag back.
  browser_->FilterField->setText("YEAR < 1992");
  Press(browser_->FilterField, Qt::Key_Return);
  EXPECT_THAT(ViewColumn(), ElementsAre("Film 00", "Film 01"));
  for (int i = 0; i < 100; ++i) {
    GridKey(VK_DOWN);
    GridKey(VK_UP);
  }
  browser_->FilterField->clear();
  Press(browser_->FilterField, Qt::Key_Return);
  EXPECT_EQ(ViewColumn().size(), 60u);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
}

}  // namespace
}  // namespace vx::browser
