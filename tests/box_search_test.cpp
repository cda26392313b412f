#include "mp4/box_search.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/context_fixture.h"
#include "support/log_capture.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ContextOver;

TEST(FindBytesTest, FindsTheFirstOccurrenceInsideTheHaystackOnly) {
  const std::uint8_t hay[] = {'x', 'm', 'd', 'a', 'm', 'd', 'a', 't', 'm', 'd'};
  const auto* mdat = reinterpret_cast<const std::uint8_t*>("mdat");
  EXPECT_EQ(FindBytes(hay, sizeof hay, mdat, 4), hay + 4);
  EXPECT_EQ(FindBytes(hay, 7, mdat, 4), nullptr);  // "mdat" would end one past the haystack
  EXPECT_EQ(FindBytes(hay + 8, 2, mdat, 4), nullptr);
  EXPECT_EQ(FindBytes(hay, 0, mdat, 4), nullptr);
}

struct FileTypeCase {
  const char* name;
  Bytes bytes;
  ResultCode expected;
};

class CheckFileTypeTest : public testing::TestWithParam<FileTypeCase> {};

TEST_P(CheckFileTypeTest, AcceptsM4aAndFilesWithoutAHeader) {
  test::LogCapture log;
  ContextOver over(GetParam().bytes);
  EXPECT_EQ(CheckFileType(over.context), GetParam().expected);
  EXPECT_EQ(over.context.file->Cursor(), 12u);
  if (GetParam().expected == kNotM4a) {
    EXPECT_EQ(log.Messages(), std::vector<std::string>{">>[!] This file is not an M4A file"});
  } else {
    EXPECT_TRUE(log.Messages().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, CheckFileTypeTest,
    testing::Values(FileTypeCase{"M4a", Bytes{}.U32(0x1C).Text("ftypM4A ").Fill(16, 0), kOk},
                    FileTypeCase{"Isom", Bytes{}.U32(0x20).Text("ftypisom").Fill(20, 0), kNotM4a},
                    FileTypeCase{"WipedHeader", Bytes{}.Fill(32, 0), kOk},
                    FileTypeCase{"NoFtypFirst", Bytes{}.U32(8).Text("freeftypisom"), kOk},
                    // Shorter than 12 bytes: the missing brand reads as zeros, which is not "M4A ".
                    FileTypeCase{"ShortFtyp", Bytes{}.U32(8).Text("ftyp"), kNotM4a},
                    FileTypeCase{"Tiny", Bytes{0x00, 0x01}, kOk}),
    [](const auto& info) { return std::string(info.param.name); });

OffsetTable MdatOffsets(const Bytes& bytes) {
  ContextOver over(bytes);
  EXPECT_EQ(FindMediaData(over.context), kOk);
  return over.context.mdatTable ? *over.context.mdatTable : OffsetTable{};
}

TEST(FindMediaDataTest, RecordsTheOffsetAfterEveryOccurrence) {
  EXPECT_EQ(MdatOffsets(Bytes{}.Fill(36, 0).Text("mdat").Fill(10, 1)), (OffsetTable{40}));
  EXPECT_EQ(MdatOffsets(Bytes{}.Fill(36, 0).Text("mdat").Fill(4960, 1).Text("mdat").Fill(9, 1)),
            (OffsetTable{40, 5004}));
  EXPECT_EQ(MdatOffsets(Bytes{}.Fill(100, 0).Text("mdatmdat").Fill(3, 0)), (OffsetTable{104, 108}));
  EXPECT_EQ(MdatOffsets(Bytes{}.Fill(20, 7).Text("mdat")), (OffsetTable{24}));  // = file size
}

// The search runs a window of 16 MiB at a time; a type across a window's edge still counts.
TEST(FindMediaDataTest, OccurrencesAcrossTheSearchWindowsAreFound) {
  constexpr std::uint32_t kWindow = 16u << 20;
  std::vector<std::uint8_t> bytes(kWindow + 64, 0);
  for (std::uint32_t at : {kWindow - 2, kWindow + 5}) std::memcpy(&bytes[at], "mdat", 4);
  test::TempDir dir;
  test::WriteFile(dir.File("big.m4a"), bytes);
  RepairContext context;
  ASSERT_EQ(MapContextFile(context, dir.File("big.m4a")), kOk);
  ASSERT_EQ(FindMediaData(context), kOk);
  EXPECT_EQ(*context.mdatTable, (OffsetTable{kWindow + 2, kWindow + 9}));
}

TEST(FindMediaDataTest, FileWithoutMdatIsRefused) {
  test::LogCapture log;
  ContextOver over(Bytes{}.Text("mda").Fill(50, 0).Text("dat"));
  EXPECT_EQ(FindMediaData(over.context), kNoMediaData);
  EXPECT_EQ(over.context.mdatTable, nullptr);
  EXPECT_EQ(log.Messages(), std::vector<std::string>{">>[!] Can't find the mdat box"});
}

}  // namespace
}  // namespace quillmend
