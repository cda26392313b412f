// The mapped input file, the path conversions and the intermediate files' paths.
#include <stdexcept>

#include "io/mapped_file.h"
#include "io/output_file.h"
#include "io/utf8.h"
#include "support/support.h"

namespace quillmend {
namespace {

using test::Bytes;

TEST(MappedFileTest, MapsWholeFilesOnlyAndNeverReadsOutsideThem) {
  test::TempDir dir;
  test::WriteFile(dir.File("empty"), Bytes{});
  for (const std::string& path : {dir.File("missing"), dir.File("empty"), test::U8(dir.path())}) {
    MappedFile file(Utf8ToWide(path));
    EXPECT_EQ(file.Data(), nullptr) << path;
    file.Close();
    file.Close();  // releases nothing twice
  }
  test::WriteFile(dir.File("input"), Bytes{0x00, 0x00, 0x00, 0x1C, 0x66, 0x74, 0x79, 0x70, 0x21});
  MappedFile file(Utf8ToWide(dir.File("input")));
  ASSERT_NE(file.Data(), nullptr);
  std::uint32_t word = 0;
  file.Seek(4, kSeekSet);
  EXPECT_TRUE(file.ReadU32(word, false) && word == 0x66747970u && file.Cursor() == 8u);
  // Beyond the end: the bytes inside, zero-padded, and false; no wrap to the start of the view.
  EXPECT_FALSE(file.ReadU32(word, false));
  EXPECT_EQ(word, 0x21000000u);
  file.Seek(~std::uint64_t{0}, kSeekSet);
  EXPECT_FALSE(file.ReadU32(word, false) || word != 0);
}

// The parent by the platform's path grammar: the run of separators before the name goes, a
// root never does.
TEST(OutputFileTest, OutputDirectoryFollowsThePlatformGrammar) {
#ifdef _WIN32
  EXPECT_EQ(OutputDirectory("D:/music/fixed.m4a"), "D:/music");
  EXPECT_EQ(OutputDirectory("D:\\music/\\fixed.m4a"), "D:\\music");
  EXPECT_EQ(OutputDirectory("C:\\fixed.m4a"), "C:\\");
  EXPECT_EQ(OutputDirectory("\\\\server\\share\\fixed.m4a"), "\\\\server\\share");
  EXPECT_THROW(OutputDirectory("C:\\bad\xC3\\f.m4a"), std::range_error);
#else
  EXPECT_EQ(OutputDirectory("/music//fixed.m4a"), "/music");
  EXPECT_EQ(OutputDirectory("/fixed.m4a"), "/");
  EXPECT_THROW(OutputDirectory("/bad\xC3/f.m4a"), std::range_error);
#endif
  EXPECT_EQ(OutputDirectory("fixed.m4a"), "");
}

}  // namespace
}  // namespace quillmend
