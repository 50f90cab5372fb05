#include <gtest/gtest.h>

#include <stdexcept>

#include "export/json.h"
#include "export/paths.h"

using namespace kinovar;

TEST(Paths, FileStem) {
  const std::pair<const char*, const char*> cases[] = {{"C:\\data\\rec01.BIN", "rec01"}, {"/a/b/rec.tar.gz", "rec.tar"},
                                                       {"rec", "rec"}, {"a.b/c", "c"}, {"dir/", ""},
                                                       {"dir/.hidden", ""}, {"", ""}};
  for (const auto& [path, stem] : cases) EXPECT_EQ(fileStem(path), stem) << path;
}

// Surrogate pairs on Windows; elsewhere the fuzz target compares every
// decoding with the C library's, so the refusals are what is left to check.
TEST(Paths, Utf8ToWide) {
#ifdef _WIN32
  EXPECT_EQ(utf8ToWide("\xF0\x9F\x98\x80"), (std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}));
#else
  EXPECT_EQ(utf8ToWide("\xF0\x9F\x98\x80"), std::wstring(1, wchar_t(0x1F600)));
#endif
  for (const char* bad : {"ab\xE2\x82", "\xA9", "\xC3(", "\xF4\x90\x80\x80", "\xFC\xBF\xBF\xBF\xBF\xBF", "\xF8\x88\x80\x80\x80"}) {
    try {
      utf8ToWide(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const std::range_error& e) {
      EXPECT_STREQ(e.what(), "bad conversion");
    }
  }
}

// Ordinary dates are pinned by the read answer and settings documents.
TEST(Json, DateTextOfOutOfRangeFields) {
  EXPECT_EQ(formatDateTime({0, 0, 0, 0, 123, 5}), "5-123-00 00:00:00");
  EXPECT_EQ(formatDateTime({0, 0, 0, 0, -3, -1}), "-1-0-3-00 00:00:00");
}
