#include "mp4/box_search.h"

#include <cstring>

#include "support/context.h"

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

class BoxSearchTest : public test::LogTest {};

TEST_F(BoxSearchTest, CheckFileTypeRefusesOnlyAForeignBrand) {
  const std::pair<Bytes, ResultCode> cases[] = {
      {Bytes{}.U32(0x1C).Text("ftypM4A ").Fill(16, 0), kOk},
      {Bytes{}.U32(0x20).Text("ftypisom").Fill(20, 0), kNotM4a},
      {Bytes{}.Fill(32, 0), kOk},  // a wiped header is no reason to refuse
      {Bytes{}.U32(8).Text("freeftypisom"), kOk},
      {Bytes{}.U32(8).Text("ftyp"), kNotM4a},  // the missing brand reads as zeros
      {Bytes{0x00, 0x01}, kOk}};
  for (const auto& [bytes, expected] : cases) {
    ContextOver over(bytes);
    EXPECT_EQ(CheckFileType(over.context), expected) << testing::PrintToString(bytes.data());
    EXPECT_EQ(over.context.file->Cursor(), 12u);
  }
  EXPECT_EQ(Messages(), std::vector<std::string>(2, ">>[!] This file is not an M4A file"));
}

OffsetTable MdatOffsets(const Bytes& bytes) {
  ContextOver over(bytes);
  EXPECT_EQ(FindMediaData(over.context), kOk);
  return over.context.mdatTable ? *over.context.mdatTable : OffsetTable{};
}

TEST_F(BoxSearchTest, FindMediaDataRecordsTheOffsetAfterEveryOccurrence) {
  EXPECT_EQ(MdatOffsets(Bytes{}.Fill(36, 0).Text("mdat").Fill(10, 1)), (OffsetTable{40}));
  EXPECT_EQ(MdatOffsets(Bytes{}.Fill(36, 0).Text("mdat").Fill(4960, 1).Text("mdat").Fill(9, 1)),
            (OffsetTable{40, 5004}));
  EXPECT_EQ(MdatOffsets(Bytes{}.Fill(100, 0).Text("mdatmdat").Fill(3, 0)), (OffsetTable{104, 108}));
  EXPECT_EQ(MdatOffsets(Bytes{}.Fill(20, 7).Text("mdat")), (OffsetTable{24}));  // = file size
  // The search runs a window of 16 MiB at a time; a type across a window's edge still counts.
  constexpr std::uint32_t kWindow = 16u << 20;
  Bytes big = Bytes{}.Fill(kWindow - 2, 0).Text("mdat").Fill(3, 0).Text("mdat").Fill(55, 0);
  EXPECT_EQ(MdatOffsets(big), (OffsetTable{kWindow + 2, kWindow + 9}));

  ContextOver none(Bytes{}.Text("mda").Fill(50, 0).Text("dat"));
  EXPECT_EQ(FindMediaData(none.context), kNoMediaData);
  EXPECT_EQ(none.context.mdatTable, nullptr);
  EXPECT_EQ(Messages(), std::vector<std::string>{">>[!] Can't find the mdat box"});
}

}  // namespace
}  // namespace quillmend
