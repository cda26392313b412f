// The mapped input file, the path conversions and the intermediate files' paths.
#include <stdexcept>

#include "io/mapped_file.h"
#include "io/output_file.h"
#include "io/utf8.h"
#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

TEST(MappedFileTest, MapsWholeFilesOnlyAndReadsBigEndianInsideThem) {
  test::TempDir dir;
  test::WriteFile(dir.File("empty"), Bytes{});
  for (const std::string& path : {dir.File("missing"), dir.File("empty"), test::U8(dir.path())}) {
    MappedFile file(Utf8ToWide(path));
    EXPECT_EQ(file.Data(), nullptr) << path;
    file.Close();
    file.Close();  // releases nothing twice
  }
  test::WriteFile(dir.File("input"),
                  Bytes{0x00, 0x00, 0x00, 0x1C, 0x66, 0x74, 0x79, 0x70, 0x21, 0x0C});
  MappedFile file(Utf8ToWide(dir.File("input")));
  ASSERT_NE(file.Data(), nullptr);
  EXPECT_EQ(file.Size(), 10u);
  std::uint32_t word = 0;
  std::uint16_t half = 0;
  std::uint8_t byte = 1;
  EXPECT_EQ(file.Cursor(), 0u);
  file.Seek(4, kSeekSet);
  EXPECT_TRUE(file.ReadU32(word, false) && word == 0x66747970u && file.Cursor() == 8u);
  EXPECT_TRUE(file.ReadU16(half, false) && half == 0x210C);
  file.Seek(4, kSeekSet);
  EXPECT_TRUE(file.ReadU32(word, true) && word == 0x70797466u);  // swapped
  // Beyond the end: the bytes inside, zero-padded, and false; no wrap to the start of the view.
  file.Seek(8, kSeekSet);
  EXPECT_FALSE(file.ReadU32(word, false));
  EXPECT_EQ(word, 0x210C0000u);
  EXPECT_EQ(file.Cursor(), 12u);
  EXPECT_FALSE(file.ReadU8(byte) || byte != 0);
  file.Seek(~std::uint64_t{0}, kSeekSet);
  EXPECT_FALSE(file.ReadU16(half, false) || half != 0);
  // Seeks: a move past either end of the 64-bit range, or an unknown mode, moves nothing.
  file.Seek(3, kSeekSet);
  EXPECT_EQ(file.Seek(5, kSeekBackward), 0u);
  EXPECT_EQ(file.Cursor(), 3u);
  file.Seek(8, kSeekSet);
  EXPECT_EQ(file.Seek(5, kSeekBackward), 3u);
  EXPECT_EQ(file.Seek(~std::uint64_t{0}, kSeekForward), 0u);
  EXPECT_EQ(file.Seek(4, kSeekForward), 7u);
  EXPECT_EQ(file.Seek(1, 3), 0u);
  EXPECT_EQ(file.Cursor(), 7u);
  EXPECT_EQ(file.Seek(100, kSeekSet), 100u);  // the cursor is not tied to the size
}

TEST(Utf8ToWideTest, ConvertsWellFormedTextAndRejectsTheRest) {
  EXPECT_EQ(Utf8ToWide(""), u"");
  EXPECT_EQ(Utf8ToWide("\xC3\xA9"), std::u16string(1, u'\u00E9'));
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x8E\xB5"), (std::u16string{0xD83C, 0xDFB5}));
  EXPECT_EQ(Utf8ToWide("\xEF\xBB\xBF\x61"), (std::u16string{0xFEFF, u'a'}));  // BOM kept
  EXPECT_EQ(Utf8ToWide("\xF4\x8F\xBF\xBF"), (std::u16string{0xDBFF, 0xDFFF}));
  const std::string text = "C:\\tmp/\xC3\xA9t\xC3\xA9/\xF0\x9F\x8E\xB5 take 1.m4a";
  EXPECT_EQ(WideToUtf8(Utf8ToWide(text)), text);
  for (const char* bad : {"\x80", "\xE2\x82", "a\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF"}) {
    try {
      Utf8ToWide(bad);
      ADD_FAILURE() << "accepted " << testing::PrintToString(std::string(bad));
    } catch (const std::range_error& e) {
      EXPECT_STREQ(e.what(), "bad conversion");
    }
  }
  EXPECT_THROW(WideToUtf8(std::u16string{0xD800}), std::range_error);
  EXPECT_THROW(WideToUtf8(std::u16string{0xDC00, u'a'}), std::range_error);
}

// The parent by the platform's path grammar, and the intermediate file beside the output with
// the platform's separator put in front of its name whatever the directory ends with.
TEST(OutputFileTest, PathsAndRemovalOfWhateverIsThere) {
#ifdef _WIN32
  EXPECT_EQ(OutputDirectory("D:\\music\\fixed.m4a"), "D:\\music");
  EXPECT_EQ(JoinPath("D:\\music", "tmp.adts"), "D:\\music\\tmp.adts");
  EXPECT_EQ(OutputDirectory("D:/music/fixed.m4a"), "D:/music");  // forward slashes stay
  EXPECT_EQ(JoinPath("D:/music", "tmp.adts"), "D:/music\\tmp.adts");
  EXPECT_EQ(OutputDirectory("D:\\music\\\\fixed.m4a"), "D:\\music");  // the run of separators goes
  EXPECT_EQ(OutputDirectory("D:\\music/\\fixed.m4a"), "D:\\music");
  EXPECT_EQ(OutputDirectory("C:\\fixed.m4a"), "C:\\");  // a root never does
  EXPECT_EQ(JoinPath("C:\\", "tmp.adts"), "C:\\\\tmp.adts");
  EXPECT_EQ(OutputDirectory("\\\\server\\share\\fixed.m4a"), "\\\\server\\share");
  EXPECT_EQ(OutputDirectory("fixed.m4a"), "");  // the root of the current drive, then
  EXPECT_EQ(JoinPath("", "tmp.adts"), "\\tmp.adts");
  EXPECT_EQ(OutputDirectory("rel\\d\xC3\xADr\\fixed.m4a"), "rel\\d\xC3\xADr");
  EXPECT_THROW(OutputDirectory("C:\\bad\xC3\\f.m4a"), std::range_error);
#else
  EXPECT_EQ(OutputDirectory("/music//fixed.m4a"), "/music");  // the run of separators goes
  EXPECT_EQ(OutputDirectory("/fixed.m4a"), "/");              // a root never does
  EXPECT_EQ(OutputDirectory("fixed.m4a"), "");
  EXPECT_EQ(OutputDirectory("rel/d\xC3\xADr/fixed.m4a"), "rel/d\xC3\xADr");
  EXPECT_THROW(OutputDirectory("/bad\xC3/f.m4a"), std::range_error);
  EXPECT_EQ(JoinPath("/music", "tmp.adts"), "/music/tmp.adts");
  EXPECT_EQ(JoinPath("/", "tmp.adts"), "//tmp.adts");
  EXPECT_EQ(JoinPath("", "tmp.pcm"), "/tmp.pcm");
#endif

  test::TempDir dir;
  test::WriteFile(dir.File("file"), Bytes{1});
#ifndef _WIN32
  fs::create_symlink(dir.File("nowhere"), dir.File("link"));  // a dangling link is something
#endif
  for (const std::string& path :
       {dir.File("file") + "/tmp.adts", dir.File("file"), dir.File("file"), dir.File("link"),
        dir.File("no-dir/tmp.adts")}) {
    RemoveIfExists(path);  // nothing there is no error, nor is a file where a directory should be
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
  }
  fs::create_directories(dir.path() / "full" / "x");
  EXPECT_THROW(RemoveIfExists(dir.File("full")), fs::filesystem_error);
}

}  // namespace
}  // namespace quillmend
