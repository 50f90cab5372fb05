#include <gtest/gtest.h>

#include "export/json.h"
#include "export/paths.h"

using namespace kinovar;

TEST(Paths, FileStem) {
  EXPECT_EQ(fileStem("C:\\data\\rec01.BIN"), "rec01");
  EXPECT_EQ(fileStem("/a/b/rec.tar.gz"), "rec.tar");
  EXPECT_EQ(fileStem("rec"), "rec");
  EXPECT_EQ(fileStem("a.b/c"), "c");
  EXPECT_EQ(fileStem("dir/"), "");
  EXPECT_EQ(fileStem("dir/.hidden"), "");
  EXPECT_EQ(fileStem(""), "");
}
