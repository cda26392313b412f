#include "io/mapped_file.h"

#include "io/utf8.h"
#include "support/support.h"

namespace quillmend {
namespace {

using test::Bytes;

struct Mapped {
  explicit Mapped(const Bytes& bytes) : file(Utf8ToWide(Write(bytes))) {}
  std::string Write(const Bytes& bytes) {
    test::WriteFile(dir.File("input"), bytes);
    return dir.File("input");
  }
  test::TempDir dir;
  MappedFile file;
};

TEST(MappedFileTest, FilesThatCannotBeMappedLeaveDataNull) {
  Mapped empty(Bytes{});
  EXPECT_EQ(empty.file.Size(), 0u);
  for (const std::string& path :
       {empty.dir.File("missing"), empty.dir.File("input"), empty.dir.path().string()}) {
    MappedFile file(Utf8ToWide(path));
    EXPECT_EQ(file.Data(), nullptr) << path;
    file.Close();
    file.Close();  // releases nothing twice
  }
  Mapped three(Bytes{1, 2, 3});
  ASSERT_NE(three.file.Data(), nullptr);
  EXPECT_EQ(three.file.Size(), 3u);
  EXPECT_EQ(three.file.Data()[2], 3);
}

TEST(MappedFileTest, SeekModes) {
  Mapped mapped(Bytes{}.Fill(16, 0));
  MappedFile& file = mapped.file;
  EXPECT_EQ(file.Cursor(), 0u);
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

TEST(MappedFileTest, BigEndianReadersAndReadsBeyondTheEnd) {
  Mapped mapped(Bytes{0x00, 0x00, 0x00, 0x1C, 0x66, 0x74, 0x79, 0x70, 0x21, 0x0C});
  MappedFile& file = mapped.file;
  std::uint32_t word = 0;
  std::uint16_t half = 0;
  file.Seek(4, kSeekSet);
  EXPECT_TRUE(file.ReadU32(word, false));
  EXPECT_EQ(word, 0x66747970u);
  EXPECT_EQ(file.Cursor(), 8u);
  EXPECT_TRUE(file.ReadU16(half, false));
  EXPECT_EQ(half, 0x210C);
  file.Seek(2, kSeekBackward);
  EXPECT_TRUE(file.ReadU16(half, true));
  EXPECT_EQ(half, 0x0C21);
  file.Seek(4, kSeekSet);
  EXPECT_TRUE(file.ReadU32(word, true));
  EXPECT_EQ(word, 0x70797466u);
  // Beyond the end: the bytes inside, zero-padded, and false.
  file.Seek(8, kSeekSet);
  EXPECT_FALSE(file.ReadU32(word, false));
  EXPECT_EQ(word, 0x210C0000u);
  EXPECT_EQ(file.Cursor(), 12u);
  std::uint8_t byte = 1;
  EXPECT_FALSE(file.ReadU8(byte));
  EXPECT_EQ(byte, 0);
  file.Seek(~std::uint64_t{0}, kSeekSet);
  EXPECT_FALSE(file.ReadU16(half, false));  // no wrap to the start of the view
  EXPECT_EQ(half, 0);
}

}  // namespace
}  // namespace quillmend
