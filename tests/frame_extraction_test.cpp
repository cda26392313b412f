#include "repair/frame_extraction.h"

#include <gtest/gtest.h>

#include "mp4/box_search.h"
#include "mp4/frame_heads.h"
#include "repair/adts_writer.h"
#include "support/context_fixture.h"

namespace quillmend {
namespace {

using test::Bytes;
using Frames = std::vector<std::vector<std::uint8_t>>;

// The payloads of the ADTS frames that the extraction writes for a damaged file.
Frames Extract(const Bytes& damaged) {
  test::ContextOver over(damaged);
  RepairContext& context = over.context;
  test::TempDir dir;
  AppendFile stream(dir.File("tmp.adts"));
  SetDefaultFrameHeads(context);
  if (FindMediaData(context) == kOk) {
    EXPECT_EQ(ExtractFramesToAdts(context, stream), kOk);
  }
  stream.Close();
  const auto bytes = test::ReadFile(dir.File("tmp.adts"));
  Frames frames;
  for (std::size_t at = 0; at + kAdtsHeaderSize <= bytes.size();) {
    const std::size_t length = (bytes[at + 3] & 3) << 11 | bytes[at + 4] << 3 | bytes[at + 5] >> 5;
    frames.emplace_back(bytes.begin() + at + kAdtsHeaderSize, bytes.begin() + at + length);
    at += length;
  }
  return frames;
}

TEST(ExtractFramesToAdtsTest, ProfileRegionYieldsEveryFrameBetweenHeads) {
  // Heads at a < b < c: two frames; the bytes before a and from c to the end are not written.
  const Bytes file = Bytes{}
                         .U32(16)
                         .Text("mdat")
                         .U8(0x77)
                         .U16(0x210C)
                         .U8(1)
                         .U16(0x212C)
                         .U8(2)
                         .U8(3)
                         .U16(0x214E)
                         .U8(4);
  EXPECT_EQ(Extract(file), (Frames{{0x21, 0x0C, 1}, {0x21, 0x2C, 2, 3}}));
  // A single head yields nothing.
  EXPECT_TRUE(Extract(Bytes{}.Text("mdat").U8(9).U16(0x216C).Fill(10, 9)).empty());
}

TEST(ExtractFramesToAdtsTest, FourZeroBytesSwitchTheRegionToMarkerMode) {
  const Bytes marker = Bytes{}
                           .Text("mdat")
                           .U32(0)
                           .U8(1)
                           .U8(5)
                           .U8(0x14)
                           .U8(0xAA)
                           .U8(1)
                           .U8(7)
                           .U8(0x14)
                           .U8(0xBB)
                           .U8(1)
                           .U8(7)
                           .U8(0x14);
  EXPECT_EQ(Extract(marker), (Frames{{1, 5, 0x14, 0xAA}, {1, 7, 0x14, 0xBB}}));
  // The zero word is not part of the scan: a head hiding in it is not seen.
  const Bytes profileLike = Bytes{}.Text("mdat").U32(0).U16(0x210C).U8(1).U16(0x210C);
  EXPECT_TRUE(Extract(profileLike).empty());
}

TEST(ExtractFramesToAdtsTest, EveryMdatOccurrenceStartsARegion) {
  // A stray "mdat" in the audio splits the data: the first region ends at the stray's letters
  // (the frame running into it is cut there), the second starts after them.
  const Bytes split = Bytes{}
                          .Text("mdat")
                          .U16(0x210C)
                          .U8(1)
                          .U16(0x210C)
                          .U8(2)
                          .U16(0x210C)
                          .Text("mdat")
                          .U16(0x212C)
                          .U8(3)
                          .U16(0x212C);
  EXPECT_EQ(Extract(split), (Frames{{0x21, 0x0C, 1}, {0x21, 0x0C, 2}, {0x21, 0x2C, 3}}));
  // Two occurrences in a row: the first region is too short for a frame.
  EXPECT_EQ(Extract(Bytes{}.Text("mdatmdat").U16(0x210C).U8(1).U16(0x210C)),
            (Frames{{0x21, 0x0C, 1}}));
  // "mdat" in the last one to three bytes: no room for the mode test, nothing read past the end.
  for (int tail = 0; tail <= 4; ++tail) {
    Bytes bytes = Bytes{}.Text("mdat").U16(0x210C).U8(1).U16(0x210C).Text("mdat").Fill(tail, 0);
    EXPECT_EQ(Extract(bytes), (Frames{{0x21, 0x0C, 1}})) << tail;
  }
}

}  // namespace
}  // namespace quillmend
