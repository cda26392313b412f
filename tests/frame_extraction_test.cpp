// The general repair's frame extraction and the ADTS frames it writes.
#include "repair/frame_extraction.h"

#include "mp4/box_search.h"
#include "mp4/frame_heads.h"
#include "repair/adts_writer.h"
#include "support/context.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ByteVector;
using Frames = std::vector<ByteVector>;

class FrameExtractionTest : public test::LogTest {
 protected:
  ByteVector Written() {
    stream_.Close();
    return test::ReadFile(dir_.File("tmp.adts"));
  }
  // The payloads of the ADTS frames that the extraction writes for a damaged file.
  Frames Extract(const Bytes& damaged) {
    test::ContextOver over(damaged);
    stream_ = AppendFile(dir_.File("tmp.adts"));
    SetDefaultFrameHeads(over.context);
    EXPECT_EQ(FindMediaData(over.context), kOk);
    EXPECT_EQ(ExtractFramesToAdts(over.context, stream_), kOk);
    const auto bytes = Written();
    std::filesystem::remove(dir_.File("tmp.adts"));
    Frames frames;
    for (std::size_t at = 0, length; at + kAdtsHeaderSize <= bytes.size(); at += length) {
      length = (bytes[at + 3] & 3) << 11 | bytes[at + 4] << 3 | bytes[at + 5] >> 5;
      frames.emplace_back(bytes.begin() + long(at + kAdtsHeaderSize),
                          bytes.begin() + long(at + length));
    }
    return frames;
  }
  test::TempDir dir_;
  AppendFile stream_{dir_.File("tmp.adts")};
};

TEST_F(FrameExtractionTest, WritesHeaderAndPayloadAndSkipsWhatTheHeaderCannotDescribe) {
  test::ContextOver over(Bytes{0x10, 0x21, 0x0C, 0x33, 0x44, 0x21, 0x2C, 0x55}.Fill(9000, 0x21));
  EXPECT_EQ(WriteAdtsFrame(over.context, FrameSpan{1, 4}, stream_), kOk);
  EXPECT_EQ(WriteAdtsFrame(over.context, FrameSpan{5, 1}, stream_), kOk);
  WriteAdtsFrame(over.context, FrameSpan{0, 8185}, stream_);
  WriteAdtsFrame(over.context, FrameSpan{8000, 1009}, stream_);  // one byte past the end
  WriteAdtsFrame(over.context, FrameSpan{0, 8184}, stream_);
  const ByteVector written = Written();
  EXPECT_EQ(ByteVector(written.begin(), written.begin() + 19),
            (ByteVector{0xFF, 0xF1, 0x50, 0x80, 0x01, 0x7F, 0xFC, 0x21, 0x0C, 0x33, 0x44, 0xFF,
                        0xF1, 0x50, 0x80, 0x01, 0x1F, 0xFC, 0x21}));
  EXPECT_EQ(written.size(), 19u + 8191u);
  EXPECT_EQ(Messages(),
            (test::Lines{">>[!] Skip a frame of 8185 bytes at offset 0: too long for an ADTS frame",
                         ">>[!] Skip a frame at offset 8000: it runs past the end of the file"}));
}

TEST_F(FrameExtractionTest, EveryFrameBetweenTwoHeadsOfEveryRegion) {
  // Heads at a < b < c: two frames; the bytes before a and from c to the end are not written.
  EXPECT_EQ(Extract(Bytes{}
                        .U32(16)
                        .Text("mdat")
                        .U8(0x77)
                        .U16(0x210C)
                        .U8(1)
                        .U16(0x212C)
                        .U16(0x0203)
                        .U16(0x214E)
                        .U8(4)),
            (Frames{{0x21, 0x0C, 1}, {0x21, 0x2C, 2, 3}}));
  EXPECT_TRUE(Extract(Bytes{}.Text("mdat").U8(9).U16(0x216C).Fill(10, 9)).empty());  // one head
  // Four zero bytes after "mdat" switch to marker mode; the scan starts after them.
  EXPECT_EQ(
      Extract(Bytes{}.Text("mdat").U32(0).Text("\x01\x05\x14\xAA\x01\x07\x14\xBB\x01\x07\x14")),
      (Frames{{1, 5, 0x14, 0xAA}, {1, 7, 0x14, 0xBB}}));
  EXPECT_TRUE(Extract(Bytes{}.Text("mdat").U32(0).U16(0x210C).U8(1).U16(0x210C)).empty());
  // A stray "mdat" in the audio splits the data: the first region ends at the stray's letters
  // (the frame running into it is cut there), the second starts after them.
  EXPECT_EQ(Extract(Bytes{}
                        .Text("mdat")
                        .U16(0x210C)
                        .U8(1)
                        .U16(0x210C)
                        .U8(2)
                        .U16(0x210C)
                        .Text("mdat")
                        .U16(0x212C)
                        .U8(3)
                        .U16(0x212C)),
            (Frames{{0x21, 0x0C, 1}, {0x21, 0x0C, 2}, {0x21, 0x2C, 3}}));
  // Two occurrences in a row: the first region is too short for a frame.
  EXPECT_EQ(Extract(Bytes{}.Text("mdatmdat").U16(0x210C).U8(1).U16(0x210C)),
            (Frames{{0x21, 0x0C, 1}}));
  // "mdat" in the last bytes: no room for the mode test, nothing read past the end.
  for (int tail = 0; tail <= 4; ++tail) {
    Bytes bytes = Bytes{}.Text("mdat").U16(0x210C).U8(1).U16(0x210C).Text("mdat").Fill(tail, 0);
    EXPECT_EQ(Extract(bytes), (Frames{{0x21, 0x0C, 1}})) << tail;
  }
}

}  // namespace
}  // namespace quillmend
