#include <gtest/gtest.h>

#include <stdexcept>

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

TEST(Paths, Utf8ToWideDecodes) {
  EXPECT_EQ(utf8ToWide(""), L"");
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
}

TEST(Paths, Utf8ToWideRejectsMalformed) {
  for (const char* bad : {"ab\xE2\x82", "\xA9", "\xC3(", "\xF4\x90\x80\x80", "\xFC\xBF\xBF\xBF\xBF\xBF", "\xF8\x88\x80\x80\x80"}) {
    try {
      utf8ToWide(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const std::range_error& e) {
      EXPECT_STREQ(e.what(), "bad conversion");
    }
  }
}

TEST(Paths, MalformedPathOpensNothing) {
  EXPECT_EQ(openFile("/tmp/kinovar-\xC3", OpenMode::WriteBinary), nullptr);
  EXPECT_EQ(openFile("/nonexistent-dir/x.csv", OpenMode::WriteText), nullptr);
}

TEST(Json, DateText) {
  EXPECT_EQ(formatDateTime({7, 5, 9, 1, 2, 2018}), "2018-02-01 09:05:07");
  EXPECT_EQ(formatDateTime({}), "0000-00-00 00:00:00");
  EXPECT_EQ(formatDateTime({0, 0, 0, 0, 123, 5}), "5-123-00 00:00:00");
  EXPECT_EQ(formatDateTime({0, 0, 0, 0, -3, -1}), "-1-0-3-00 00:00:00");
}

TEST(Json, ReadResultDocument) {
  DeviceSettings settings;
  settings.frequency = 100;
  settings.version = 3;
  settings.majorVersion = 1;
  settings.minorVersion = 4;
  settings.measureId = 12;
  const std::string json = readResultJson(settings);
  EXPECT_EQ(json,
            "{\"createdAt\":\"0000-00-00 00:00:00\",\"endDate\":\"0000-00-00 00:00:00\",\"frequency\":100,"
            "\"version\":\"3\",\"minorVersion\":\"4\",\"majorVersion\":\"1\",\"measureId\":12}");
  EXPECT_EQ(json.size(), 150u);
  EXPECT_EQ(readResultJson(DeviceSettings{}).find("\"measureId\":-1}") != std::string::npos, true);
  EXPECT_EQ(kErrorDocument.size(), 38u);
}
