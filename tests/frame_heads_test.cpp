#include "mp4/frame_heads.h"

#include <gtest/gtest.h>

#include <set>

#include "sdk/stages.h"
#include "support/context_fixture.h"
#include "support/log_capture.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ContextOver;

TEST(FrameHeadsTest, DefaultProfileIsExactlyTheFourRecorderHeads) {
  RepairContext context;
  EXPECT_EQ(SetDefaultFrameHeads(context), kOk);
  EXPECT_EQ(*context.frameHeads, (FrameHeadSet{0x210C, 0x212C, 0x214E, 0x216C}));
  EXPECT_EQ(context.frameHeads->count(0x0C21), 0u);
}

// A file of 0xEE filler with the given two-byte heads written at the given offsets.
Bytes FileWithHeads(std::size_t size,
                    const std::vector<std::pair<std::size_t, std::uint16_t>>& heads) {
  std::vector<std::uint8_t> bytes(size, 0xEE);
  for (auto [offset, head] : heads) {
    bytes[offset] = head >> 8;
    bytes[offset + 1] = head & 0xFF;
  }
  Bytes out;
  for (auto b : bytes) out.U8(b);
  return out;
}

FrameHeadSet Learn(const Bytes& file, OffsetTable offsets, ChunkRunTable runs, SizeTable sizes) {
  ContextOver over(file);
  RepairContext& context = over.context;
  context.chunkOffsets = std::make_shared<const OffsetTable>(std::move(offsets));
  context.samplesPerChunk = std::make_shared<const ChunkRunTable>(std::move(runs));
  context.sampleSizes = std::make_shared<const SizeTable>(std::move(sizes));
  EXPECT_EQ(LearnFrameHeads(context), kOk);
  EXPECT_EQ(context.chunkOffsets, nullptr);
  EXPECT_EQ(context.samplesPerChunk, nullptr);
  EXPECT_EQ(context.sampleSizes, nullptr);
  return context.frameHeads ? *context.frameHeads : FrameHeadSet{0xFFFF};
}

TEST(LearnFrameHeadsTest, WalksRunsChunksAndSamplesInTableOrder) {
  // Chunk 1 at 10 holds samples of 4 and 6 bytes; chunk 2 at 40 holds two of 5 bytes; chunk 3
  // (second run, one sample per chunk) at 60 holds one of 3 bytes.
  const Bytes file =
      FileWithHeads(80, {{10, 0x2101}, {14, 0x2102}, {40, 0x2103}, {45, 0x2100}, {60, 0x2104}});
  EXPECT_EQ(Learn(file, {10, 40, 60}, {{1, 2}, {3, 1}}, {4, 6, 5, 5, 3}),
            (FrameHeadSet{0x2101, 0x2102, 0x2103, 0x2104}));  // 0x2100: zero second byte
}

TEST(LearnFrameHeadsTest, ProfileEdgeCases) {
  const Bytes same = FileWithHeads(40, {{0, 0x1234}, {10, 0x1234}, {20, 0x1234}});
  EXPECT_EQ(Learn(same, {0, 10, 20}, {{1, 1}}, {10, 10, 10}), (FrameHeadSet{0x1234}));

  const Bytes zeros = FileWithHeads(40, {{0, 0x1200}, {10, 0x3400}});
  EXPECT_TRUE(Learn(zeros, {0, 10}, {{1, 1}}, {10, 10}).empty());

  // A run of 0 samples per chunk still uses up its chunk offsets.
  const Bytes skip = FileWithHeads(40, {{0, 0x1111}, {10, 0x2222}, {20, 0x3333}});
  EXPECT_EQ(Learn(skip, {0, 10, 20}, {{1, 0}, {3, 1}}, {10}), (FrameHeadSet{0x3333}));

  // A last run that starts beyond the chunk offsets contributes no chunk.
  EXPECT_EQ(Learn(skip, {0, 10, 20}, {{1, 1}, {4, 2}}, {10, 10, 10, 10}),
            (FrameHeadSet{0x1111, 0x2222, 0x3333}));
}

// Tables that do not describe the file end the walk; what was collected before stays.
TEST(LearnFrameHeadsTest, BrokenTablesEndTheWalkInsideTheFile) {
  const Bytes file = FileWithHeads(40, {{0, 0x1111}, {10, 0x2222}, {20, 0x3333}});
  // More chunks than offsets (the runs describe 4 chunks of one sample, there are 2 offsets).
  EXPECT_EQ(Learn(file, {0, 10}, {{1, 1}, {4, 1}}, {10, 10, 10, 10}),
            (FrameHeadSet{0x1111, 0x2222}));
  // More samples than sizes.
  EXPECT_EQ(Learn(file, {0}, {{1, 3}}, {10, 10}), (FrameHeadSet{0x1111, 0x2222}));
  // A sample shorter than two bytes would move the cursor backward.
  EXPECT_EQ(Learn(file, {0}, {{1, 3}}, {10, 1, 10}), (FrameHeadSet{0x1111}));
  // A chunk offset past the end, and a head in the last byte of the file.
  EXPECT_EQ(Learn(file, {0, 4000}, {{1, 1}}, {10, 10}), (FrameHeadSet{0x1111}));
  EXPECT_EQ(Learn(file, {10, 39}, {{1, 1}}, {10, 10}), (FrameHeadSet{0x2222}));
  // A sample size that runs past the end: the next sample of the chunk lies outside.
  EXPECT_EQ(Learn(file, {0}, {{1, 2}}, {0xFFFFFFF0, 10}), (FrameHeadSet{0x1111}));
  // A huge run count read as signed 32-bit is negative: no chunk at all.
  EXPECT_TRUE(Learn(file, {0, 10}, {{1, 1}, {0x80000002u, 1}}, {10, 10}).empty());
}

// The oracle is ffprobe's view of the recording's packets, not our own tables.
TEST(LearnFrameHeadsTest, LearnsTheHeadsOfARealRecording) {
  test::TempDir dir;
  const std::string path = dir.File("healthy.m4a");
  test::MakeRecording(path, 3.0);
  std::set<std::uint16_t> expected;
  for (std::uint16_t head : test::ProbePacketHeads(path)) {
    if ((head & 0xFF) != 0) expected.insert(head);
  }
  ASSERT_FALSE(expected.empty());

  RepairContext context;
  ASSERT_EQ(MapContextFile(context, path), kOk);
  ASSERT_EQ(PrepareSampleFile(context), kOk);
  EXPECT_EQ(*context.frameHeads, (FrameHeadSet(expected.begin(), expected.end())));
}

}  // namespace
}  // namespace quillmend
