// The file-type check, the box searches, the sample tables and the frame-head profiles.
#include "mp4/box_search.h"
#include "mp4/frame_heads.h"
#include "mp4/sample_tables.h"
#include "sdk/stages.h"
#include "support/context.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ContextOver;

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

struct LearnCase {
  OffsetTable offsets;
  ChunkRunTable runs;
  SizeTable sizes;
  FrameHeadSet expected;
};

// Over 80 bytes with heads at 0, 10, 20, 30 (0x4400), 40, 45 (0x6600) and 60.
const LearnCase kLearnCases[] = {
    // Chunk 1 at 0 holds samples of 10 and 20 bytes, chunk 2 at 40 two of 5 bytes, chunk 3 (the
    // second run, one sample per chunk) at 60 one of 3 bytes.
    {{0, 40, 60}, {{1, 2}, {3, 1}}, {10, 20, 5, 5, 3}, {0x1111, 0x2222, 0x5555, 0x7777}},
    {{30, 45}, {{1, 1}}, {10, 10}, {}},               // only zero second bytes: an empty profile
    {{0, 10, 20}, {{1, 0}, {3, 1}}, {10}, {0x3333}},  // 0 samples per chunk use up the offsets
    // Tables that do not describe the file end the walk; what was collected before stays.
    {{0, 10}, {{1, 1}, {4, 1}}, {10, 10, 10, 10}, {0x1111, 0x2222}},  // more chunks than offsets
    {{0}, {{1, 3}}, {10, 1, 10}, {0x1111}},               // a sample shorter than its head
    {{0, 4000}, {{1, 1}}, {10, 10}, {0x1111}},            // a chunk past the end
    {{0}, {{1, 2}}, {0xFFFFFFF0, 10}, {0x1111}},          // a size past the end
    {{0, 10}, {{1, 1}, {0x80000002u, 1}}, {10, 10}, {}},  // a count negative as signed 32-bit
};

TEST(LearnFrameHeadsTest, WalksTheTablesInOrderAndStopsWhereTheyEndOrBreak) {
  Bytes file;
  for (std::uint16_t head : {0x1111, 0x2222, 0x3333, 0x4400}) file.U16(head).Fill(8, 0xEE);
  file.U16(0x5555).Fill(3, 0xEE).U16(0x6600).Fill(13, 0xEE).U16(0x7777).Fill(18, 0xEE);
  for (const LearnCase& c : kLearnCases) {
    ContextOver over(file);
    RepairContext& context = over.context;
    context.chunkOffsets = std::make_shared<const OffsetTable>(c.offsets);
    context.samplesPerChunk = std::make_shared<const ChunkRunTable>(c.runs);
    context.sampleSizes = std::make_shared<const SizeTable>(c.sizes);
    EXPECT_EQ(LearnFrameHeads(context), kOk);
    EXPECT_EQ(*context.frameHeads, c.expected) << testing::PrintToString(c.offsets);
    EXPECT_FALSE(context.chunkOffsets || context.samplesPerChunk || context.sampleSizes);
  }
}

// The oracle is FFmpeg's demuxer, not our own tables.
TEST(LearnFrameHeadsTest, LearnsTheHeadsOfARealRecording) {
  const std::string path = test::Media("recorder-sample.m4a");
  FrameHeadSet expected;
  for (const auto& packet : test::ReadMedia(path).packets) {
    if (packet.data[1] != 0) expected.insert(std::uint16_t(packet.data[0] << 8 | packet.data[1]));
  }
  RepairContext context;
  ASSERT_EQ(MapContextFile(context, path), kOk);
  ASSERT_EQ(PrepareSampleFile(context), kOk);
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(*context.frameHeads, expected);
}

}  // namespace
}  // namespace quillmend
