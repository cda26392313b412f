#include "io/mapped_file.h"

#include <gtest/gtest.h>

#include "io/utf8.h"
#include "support/test_support.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::TempDir;

MappedFile MapBytes(const TempDir& dir, const Bytes& bytes) {
  test::WriteFile(dir.File("input"), bytes);
  return MappedFile(Utf8ToWide(dir.File("input")));
}

TEST(MappedFileTest, FilesThatCannotBeMappedLeaveDataNull) {
  TempDir dir;
  test::WriteFile(dir.File("empty"), Bytes{});
  for (const std::string& path : {dir.File("missing"), dir.File("empty"), dir.path().string()}) {
    MappedFile file(Utf8ToWide(path));
    EXPECT_EQ(file.Data(), nullptr) << path;
    file.Close();
    file.Close();  // releases nothing twice
  }
  MappedFile empty(Utf8ToWide(dir.File("empty")));
  EXPECT_EQ(empty.Size(), 0u);
}

TEST(MappedFileTest, MapsTheWholeFileWithTheCursorAtZero) {
  TempDir dir;
  MappedFile file = MapBytes(dir, Bytes{1, 2, 3});
  ASSERT_NE(file.Data(), nullptr);
  EXPECT_EQ(file.Size(), 3u);
  EXPECT_EQ(file.Cursor(), 0u);
  EXPECT_EQ(file.Data()[2], 3);
}

TEST(MappedFileTest, SeekModes) {
  TempDir dir;
  MappedFile file = MapBytes(dir, Bytes{}.Fill(16, 0));
  file.Seek(3, kSeekSet);
  EXPECT_EQ(file.Seek(5, kSeekBackward), 0u);
  EXPECT_EQ(file.Cursor(), 3u);
  file.Seek(8, kSeekSet);
  EXPECT_EQ(file.Seek(5, kSeekBackward), 3u);
  EXPECT_EQ(file.Cursor(), 3u);
  EXPECT_EQ(file.Seek(~std::uint64_t{0}, kSeekForward), 0u);
  EXPECT_EQ(file.Cursor(), 3u);
  EXPECT_EQ(file.Seek(4, kSeekForward), 7u);
  EXPECT_EQ(file.Seek(1, 3), 0u);
  EXPECT_EQ(file.Cursor(), 7u);
  EXPECT_EQ(file.Seek(100, kSeekSet), 100u);  // the cursor is not tied to the size
}

TEST(MappedFileTest, BigEndianReaders) {
  TempDir dir;
  MappedFile file =
      MapBytes(dir, Bytes{0x00, 0x00, 0x00, 0x1C, 0x66, 0x74, 0x79, 0x70, 0x21, 0x0C});
  std::uint32_t word = 0;
  file.Seek(4, kSeekSet);
  EXPECT_TRUE(file.ReadU32(word, false));
  EXPECT_EQ(word, 0x66747970u);
  EXPECT_EQ(file.Cursor(), 8u);
  std::uint16_t half = 0;
  EXPECT_TRUE(file.ReadU16(half, false));
  EXPECT_EQ(half, 0x210C);
  file.Seek(2, kSeekBackward);
  EXPECT_TRUE(file.ReadU16(half, true));
  EXPECT_EQ(half, 0x0C21);
  file.Seek(4, kSeekSet);
  EXPECT_TRUE(file.ReadU32(word, true));
  EXPECT_EQ(word, 0x70797466u);
}

TEST(MappedFileTest, ReadsBeyondTheEndYieldZerosAndFalse) {
  TempDir dir;
  MappedFile file = MapBytes(dir, Bytes{0xAB, 0xCD, 0xEF});
  std::uint32_t word = 1;
  file.Seek(1, kSeekSet);
  EXPECT_FALSE(file.ReadU32(word, false));
  EXPECT_EQ(word, 0xCDEF0000u);  // the bytes inside, zero-padded
  EXPECT_EQ(file.Cursor(), 5u);
  std::uint8_t byte = 1;
  EXPECT_FALSE(file.ReadU8(byte));
  EXPECT_EQ(byte, 0);
  file.Seek(~std::uint64_t{0}, kSeekSet);
  std::uint16_t half = 1;
  EXPECT_FALSE(file.ReadU16(half, false));  // no wrap to the start of the view
  EXPECT_EQ(half, 0);
}

}  // namespace
}  // namespace quillmend
