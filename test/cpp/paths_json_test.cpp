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

TEST(Paths, Utf8ToWide) {
  EXPECT_EQ(utf8ToWide("\xC3\xA9"), std::wstring(1, wchar_t(0xE9)));
  EXPECT_EQ(utf8ToWide("\xEF\xBB\xBF" "a"), (std::wstring{wchar_t(0xFEFF), L'a'}));  // BOM kept
  // Overlong forms and surrogate code points are let through.
  EXPECT_EQ(utf8ToWide("\xC0\xAF"), std::wstring(1, wchar_t(0x2F)));
  EXPECT_EQ(utf8ToWide("\xED\xA0\x80"), std::wstring(1, wchar_t(0xD800)));
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

TEST(Json, DateText) {
  EXPECT_EQ(formatDateTime({7, 5, 9, 1, 2, 2018}), "2018-02-01 09:05:07");
  EXPECT_EQ(formatDateTime({0, 0, 0, 0, 123, 5}), "5-123-00 00:00:00");
  EXPECT_EQ(formatDateTime({0, 0, 0, 0, -3, -1}), "-1-0-3-00 00:00:00");
}
