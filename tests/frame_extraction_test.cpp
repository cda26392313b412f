// The general repair's media-data search and frame extraction.
#include "repair/frame_extraction.h"

#include "mp4/box_search.h"
#include "mp4/frame_heads.h"
#include "repair/adts_writer.h"
#include "support/context.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ByteVector;
using test::ContextOver;
using Frames = std::vector<ByteVector>;

class Mp4Test : public test::LogTest {};

TEST_F(Mp4Test, FindMediaDataRecordsTheOffsetAfterEveryOccurrence) {
  // The search runs a window of 16 MiB at a time; a type across a window's edge still counts.
  constexpr std::uint32_t kWindow = 16u << 20;
  const std::pair<Bytes, OffsetTable> cases[] = {
      {Bytes{}.Fill(36, 0).Text("mdat").Fill(10, 1), {40}},
      {Bytes{}.Fill(36, 0).Text("mdat").Fill(4960, 1).Text("mdat").Fill(9, 1), {40, 5004}},
      {Bytes{}.Fill(100, 0).Text("mdatmdat").Fill(3, 0), {104, 108}},
      {Bytes{}.Fill(20, 7).Text("mdat"), {24}},  // the file size
      {Bytes{}.Fill(kWindow - 2, 0).Text("mdat").Fill(3, 0).Text("mdat"),
       {kWindow + 2, kWindow + 9}}};
  for (const auto& [bytes, expected] : cases) {
    ContextOver over(bytes);
    EXPECT_EQ(FindMediaData(over.context), kOk);
    EXPECT_EQ(*over.context.mdatTable, expected);
  }
  ContextOver none(Bytes{}.Text("mda").Fill(50, 0).Text("dat"));
  EXPECT_EQ(FindMediaData(none.context), kNoMediaData);
  EXPECT_EQ(none.context.mdatTable, nullptr);
  EXPECT_EQ(Messages(), test::Lines{">>[!] Can't find the mdat box"});
}

// The payloads of the ADTS frames that the extraction writes for a damaged file, cut by the
// frame lengths of their headers.
Frames Extract(const Bytes& damaged) {
  test::ContextOver over(damaged);
  test::TempDir dir;
  AppendFile stream(dir.File("tmp.adts"));
  SetDefaultFrameHeads(over.context);
  EXPECT_EQ(FindMediaData(over.context), kOk);
  EXPECT_EQ(ExtractFramesToAdts(over.context, stream), kOk);
  EXPECT_FALSE(stream.Close());
  const ByteVector bytes = test::ReadFile(dir.File("tmp.adts"));
  Frames frames;
  for (std::size_t at = 0, length; at + kAdtsHeaderSize <= bytes.size(); at += length) {
    length = (bytes[at + 3] & 3) << 11 | bytes[at + 4] << 3 | bytes[at + 5] >> 5;
    frames.emplace_back(bytes.begin() + long(at + kAdtsHeaderSize),
                        bytes.begin() + long(at + length));
  }
  return frames;
}

TEST(FrameExtractionTest, EveryFrameBetweenTwoHeadsOfEveryRegion) {
  // Heads at a < b < c: two frames; the bytes before a and from c to the end are not written.
  EXPECT_EQ(Extract(Bytes{}.U32(16).Text("mdat").Raw(
                {0x77, 0x21, 0x0C, 1, 0x21, 0x2C, 2, 3, 0x21, 0x4E, 4})),
            (Frames{{0x21, 0x0C, 1}, {0x21, 0x2C, 2, 3}}));
  EXPECT_TRUE(Extract(Bytes{}.Text("mdat").U8(9).U16(0x216C).Fill(10, 9)).empty());  // one head
  // Four zero bytes after "mdat" switch to marker mode; the scan starts after them.
  EXPECT_EQ(
      Extract(Bytes{}.Text("mdat").U32(0).Text("\x01\x05\x14\xAA\x01\x07\x14\xBB\x01\x07\x14")),
      (Frames{{1, 5, 0x14, 0xAA}, {1, 7, 0x14, 0xBB}}));
  EXPECT_TRUE(Extract(Bytes{}.Text("mdat").U32(0).U16(0x210C).U8(1).U16(0x210C)).empty());
  // A stray "mdat" in the audio splits the data: the first region ends at the stray's letters
  // (the frame running into it is cut there), the second starts after them.
  const Bytes stray = Bytes{}.Text("mdat").Raw({0x21, 0x0C, 1, 0x21, 0x0C, 2, 0x21, 0x0C});
  EXPECT_EQ(Extract(Bytes(stray).Text("mdat").Raw({0x21, 0x2C, 3, 0x21, 0x2C})),
            (Frames{{0x21, 0x0C, 1}, {0x21, 0x0C, 2}, {0x21, 0x2C, 3}}));
  // "mdat" in the last bytes: no room for the mode test, nothing read past the end.
  for (int tail = 0; tail <= 4; ++tail) {
    Bytes bytes = Bytes{}.Text("mdat").U16(0x210C).U8(1).U16(0x210C).Text("mdat").Fill(tail, 0);
    EXPECT_EQ(Extract(bytes), (Frames{{0x21, 0x0C, 1}})) << tail;
  }
}

}  // namespace
}  // namespace quillmend
