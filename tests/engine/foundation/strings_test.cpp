#include "engine/foundation/strings.h"

#include <gtest/gtest.h>

#include <string>

namespace vx {
namespace {

TEST(StringsTest, TrimsControlCharactersAndBlanks) {
  const std::string text("\0\t MOVIE \x1f\r\n", 12);
  EXPECT_EQ(TrimText(text), "MOVIE");
  EXPECT_EQ(TrimRight(text), std::string("\0\t MOVIE", 8));
  EXPECT_EQ(TrimLeft(text), "MOVIE \x1f\r\n");
  EXPECT_EQ(TrimText("\xA0\x82 "), "\xA0\x82") << "bytes above 127 are text";
}

TEST(StringsTest, SplitsPathsWithEitherSeparator) {
  const struct {
    const char *path, *dir, *name, *ext;
  } kCases[] = {
      {"C:\\DATA\\MOVIE.DBF", "C:\\DATA\\", "MOVIE", ".DBF"},
      {"/data.d/movie", "/data.d/", "movie", ""},
      {"backup.tar.gz", "", "backup.tar", ".gz"},
  };
  for (const auto& c : kCases) {
    const PathParts parts = SplitPath(c.path);
    EXPECT_EQ(parts.dir + "|" + parts.name + "|" + parts.ext,
              std::string(c.dir) + "|" + c.name + "|" + c.ext);
  }
  const PathParts long_parts = SplitPath(std::string(70, 'n') + "." + std::string(70, 'e'));
  EXPECT_EQ(long_parts.name.size(), 64u);
  EXPECT_EQ(long_parts.ext.size(), 64u);
}

TEST(StringsTest, AddsDefaultExtensionOnlyWhenMissing) {
  EXPECT_EQ(DefaultExtension("data/MOVIE   ", "DBF"), "data/MOVIE.DBF");
  EXPECT_EQ(DefaultExtension("data/movie.dat", "DBF"), "data/movie.dat");
  EXPECT_EQ(DefaultExtension("my.data/movie", "dbf"), "my.data/movie.dbf");
  EXPECT_EQ(ReplaceExtension("data/movie.dbf", "mdx"), "data/movie.mdx");
}

}  // namespace
}  // namespace vx
