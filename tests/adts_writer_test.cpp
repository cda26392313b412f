#include "repair/adts_writer.h"

#include "support/context.h"

namespace quillmend {
namespace {

using test::Bytes;
using Header = std::array<std::uint8_t, kAdtsHeaderSize>;

TEST(AdtsHeaderTest, OnlyTheLengthFieldVaries) {
  EXPECT_EQ(MakeAdtsHeader(1), (Header{0xFF, 0xF1, 0x50, 0x80, 0x01, 0x1F, 0xFC}));
  EXPECT_EQ(MakeAdtsHeader(371), (Header{0xFF, 0xF1, 0x50, 0x80, 0x2F, 0x5F, 0xFC}));
  EXPECT_EQ(MakeAdtsHeader(8184), (Header{0xFF, 0xF1, 0x50, 0x83, 0xFF, 0xFF, 0xFC}));
  for (std::uint32_t length = 0; length <= kMaxAdtsPayload; ++length) {
    const Header h = MakeAdtsHeader(length);
    ASSERT_EQ((Header{h[0], h[1], h[2], std::uint8_t(h[3] & 0xFC), 0, 0, h[6]}),
              (Header{0xFF, 0xF1, 0x50, 0x80, 0, 0, 0xFC}));
    ASSERT_EQ(std::uint32_t((h[3] & 0x03) << 11 | h[4] << 3 | h[5] >> 5), length + 7);
    ASSERT_EQ(h[5], ((length << 5) - 1) & 0xFF);  // the other form of byte 5
  }
}

class WriteAdtsFrameTest : public test::LogTest {
 protected:
  test::ByteVector Written() {
    stream_.Close();
    return test::ReadFile(dir_.File("tmp.adts"));
  }
  test::TempDir dir_;
  AppendFile stream_{dir_.File("tmp.adts")};
};

TEST_F(WriteAdtsFrameTest, AppendsHeaderAndPayloadFromTheMappedFile) {
  test::ContextOver over(Bytes{0x10, 0x21, 0x0C, 0x33, 0x44, 0x21, 0x2C, 0x55});
  EXPECT_EQ(WriteAdtsFrame(over.context, FrameSpan{1, 4}, stream_), kOk);
  EXPECT_EQ(WriteAdtsFrame(over.context, FrameSpan{5, 1}, stream_), kOk);
  EXPECT_EQ(Written(), (test::ByteVector{0xFF, 0xF1, 0x50, 0x80, 0x01, 0x7F, 0xFC, 0x21, 0x0C, 0x33,
                                         0x44, 0xFF, 0xF1, 0x50, 0x80, 0x01, 0x1F, 0xFC, 0x21}));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(WriteAdtsFrameTest, SpansTheHeaderCannotDescribeAreSkippedAndLogged) {
  test::ContextOver over(Bytes{}.Fill(9000, 0x21));
  WriteAdtsFrame(over.context, FrameSpan{0, 8184}, stream_);
  WriteAdtsFrame(over.context, FrameSpan{0, 8185}, stream_);
  WriteAdtsFrame(over.context, FrameSpan{8000, 1001}, stream_);  // one byte past the end
  EXPECT_EQ(Written().size(), 8191u);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{
                ">>[!] Skip a frame of 8185 bytes at offset 0: too long for an ADTS frame",
                ">>[!] Skip a frame at offset 8000: it runs past the end of the file"}));
}

}  // namespace
}  // namespace quillmend
