#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

#include "export/json.h"
#include "io/paths.h"
#include "test_files.h"

using namespace kinovar;

TEST(Paths, FileStem) {
  const std::pair<const char*, const char*> cases[] = {{"C:\\data\\rec01.BIN", "rec01"}, {"/a/b/rec.tar.gz", "rec.tar"},
                                                       {"rec", "rec"}, {"a.b/c", "c"}, {"dir/", ""},
                                                       {"dir/.hidden", ""}, {"", ""}};
  for (const auto& [path, stem] : cases) EXPECT_EQ(fileStem(path), stem) << path;
}

TEST(Paths, JoinPathsAsNodeDoes) {
#ifdef _WIN32
  EXPECT_EQ(joinPaths("C:\\data\\", "sub-01/motion"), "C:\\data\\sub-01\\motion");
  EXPECT_EQ(joinPaths("\\\\server\\share\\x\\..", "y"), "\\\\server\\share\\y");
  EXPECT_EQ(joinPaths("\\", "y"), "\\y");  // the drive's root, not a share
  EXPECT_EQ(joinPaths("a//b/./c/..", "d"), "a\\b\\d");
#else
  EXPECT_EQ(joinPaths("a//b/./c/..", "d"), "a/b/d");
  EXPECT_EQ(joinPaths("/x/../..", "y"), "/y");
  EXPECT_EQ(joinPaths("/", "y"), "/y");
#endif
  EXPECT_EQ(joinPaths("../up", "z"), joinPaths("..", "up/z"));
  EXPECT_EQ(joinPaths("a/..", ""), ".");
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

// Names one case-insensitive file system files as one: the folds that differ
// from ASCII lower case (long s, dotless i, micro sign, final sigma) and the
// ones it must not make (dotted capital I, sharp s against ss).
TEST(Paths, CaseFoldKey) {
  EXPECT_EQ(caseFoldKey("\xC3\x89milie"), caseFoldKey("\xC3\xA9MILIE"));  // Émilie, éMILIE
  EXPECT_EQ(caseFoldKey("\xC3\x89milie"), "\xC3\xA9milie");
  EXPECT_EQ(caseFoldKey("\xC5\xBF\xC4\xB1\xC2\xB5\xCF\x82"), "si\xCE\xBC\xCF\x83");  // ſıµς
  EXPECT_EQ(caseFoldKey("\xD0\x96\xF0\x90\x90\x80"), "\xD0\xB6\xF0\x90\x90\xA8");  // Ж and Deseret long I
  EXPECT_EQ(caseFoldKey("\xC4\xB0"), "\xC4\xB0");
  EXPECT_NE(caseFoldKey("\xC3\x9F"), caseFoldKey("ss"));
  EXPECT_EQ(caseFoldKey("a\xFF\xC3" "b\xE4\xB8"), "a\xFF\xC3" "b\xE4\xB8");  // malformed bytes pass through
}

// Windows keeps these names for devices in every folder and with any extension.
TEST(Paths, ReservedDeviceNames) {
  for (const char* name : {"aux.csv", "dir/NUL", "C:\\x\\com1.csv", "Lpt9.tar.gz", "con .csv", "com\xC2\xB9.csv", "CONOUT$"})
    EXPECT_TRUE(reservedDeviceName(name)) << name;
  for (const char* name : {"auxiliary.csv", "aux/rec.csv", "com10.csv", "lpt.csv", "xnul.csv", "", "com\xC2\xB4"})
    EXPECT_FALSE(reservedDeviceName(name)) << name;
}

// The temporary files beside a target rely on it: an existing file is
// neither opened nor emptied.
TEST(Paths, CreateNewFileIsExclusive) {
  TempDir dir;
  const std::string file = dir.path("new.tmp");
  FilePtr created = createNewFile(file.c_str());
  ASSERT_TRUE(created);
  std::fputs("kept", created.get());
  ASSERT_TRUE(closeFile(created));
  errno = 0;
  EXPECT_FALSE(createNewFile(file.c_str()));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(readText(file), "kept");
}

// Ordinary dates are pinned by the read answer and settings documents.
TEST(Json, DateTextOfOutOfRangeFields) {
  EXPECT_EQ(formatDateTime({0, 0, 0, 0, 123, 5}), "5-123-00 00:00:00");
  EXPECT_EQ(formatDateTime({0, 0, 0, 0, -3, -1}), "-1-0-3-00 00:00:00");
}
