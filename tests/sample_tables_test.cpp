#include "mp4/sample_tables.h"

#include <gtest/gtest.h>

#include "support/context_fixture.h"
#include "support/log_capture.h"
#include "support/sample_boxes.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ContextOver;

TEST(SampleTablesTest, ReadsTheThreeTables) {
  ContextOver over(Bytes{}
                       .Fill(20, 0)
                       .Append(test::Stco({0x30, 0x400, 0x800}))
                       .Append(test::Stsc({{1, 22, 1}, {5, 20, 1}, {5, 17, 1}}))
                       .Append(test::Stsz({371, 380})));
  RepairContext& context = over.context;
  context.file->Seek(7, kSeekSet);  // the readers place the cursor themselves
  ASSERT_EQ(ReadChunkOffsets(context), kOk);
  ASSERT_EQ(ReadSamplesPerChunk(context), kOk);
  ASSERT_EQ(ReadSampleSizes(context), kOk);
  EXPECT_EQ(*context.chunkOffsets, (OffsetTable{0x30, 0x400, 0x800}));
  EXPECT_EQ(*context.samplesPerChunk, (ChunkRunTable{{1, 22}, {5, 20}}));  // first entry kept
  EXPECT_EQ(*context.sampleSizes, (SizeTable{371, 380}));
}

TEST(SampleTablesTest, StszWithADefaultSizeStillReadsCountSizes) {
  ContextOver over(test::Stsz({}, 400).Append(Bytes{}.U32(7).U32(9)));
  ASSERT_EQ(ReadSampleSizes(over.context), kOk);
  EXPECT_TRUE(over.context.sampleSizes->empty());  // count 0 is a valid, empty table
  ContextOver counted(Bytes{}.U32(20).Text("stsz").U32(0).U32(400).U32(2).U32(7).U32(9));
  ASSERT_EQ(ReadSampleSizes(counted.context), kOk);
  EXPECT_EQ(*counted.context.sampleSizes, (SizeTable{7, 9}));
}

TEST(SampleTablesTest, TheLastOccurrenceWins) {
  ContextOver over(test::Stco({1, 2}).Append(test::Stco({3})));
  ASSERT_EQ(ReadChunkOffsets(over.context), kOk);
  EXPECT_EQ(*over.context.chunkOffsets, (OffsetTable{3}));
}

TEST(SampleTablesTest, MissingBoxesAreReportedByName) {
  test::LogCapture log;
  ContextOver over(test::Stco({1}).Append(test::Stsc({{1, 1, 1}})).Fill(8, 0));
  EXPECT_EQ(ReadChunkOffsets(over.context), kOk);
  EXPECT_EQ(ReadSamplesPerChunk(over.context), kOk);
  EXPECT_EQ(ReadSampleSizes(over.context), kNoSampleTable);
  EXPECT_EQ(over.context.sampleSizes, nullptr);
  ContextOver bare(Bytes{}.Fill(64, 0));
  EXPECT_EQ(ReadChunkOffsets(bare.context), kNoSampleTable);
  EXPECT_EQ(ReadSamplesPerChunk(bare.context), kNoSampleTable);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{">>[!] Can't find \"stsz\" box",
                                                      ">>[!] Can't find \"stco\" box",
                                                      ">>[!] Can't find \"stsc\" box"}));
}

// An accidental "stco" in audio data, with a count far beyond the file, must neither read past
// the end nor replace a real table found before it.
TEST(SampleTablesTest, OccurrencesRunningPastTheEndAreContained) {
  const Bytes accidental = Bytes{}.Text("stco").U32(0).U32(0xFFFFFFFF).U32(0x11).U32(0x22);
  ContextOver realFirst(test::Stco({0x30, 0x40}).Append(accidental));
  ASSERT_EQ(ReadChunkOffsets(realFirst.context), kOk);
  EXPECT_EQ(*realFirst.context.chunkOffsets, (OffsetTable{0x30, 0x40}));

  ContextOver onlyTruncated(Bytes{}.Fill(8, 0).Append(accidental).U8(0x33));
  ASSERT_EQ(ReadChunkOffsets(onlyTruncated.context), kOk);
  EXPECT_EQ(*onlyTruncated.context.chunkOffsets, (OffsetTable{0x11, 0x22}));  // entries inside

  ContextOver realAfter(Bytes{}.Append(accidental).Fill(3, 0).Append(test::Stco({0x50})));
  ASSERT_EQ(ReadChunkOffsets(realAfter.context), kOk);
  EXPECT_EQ(*realAfter.context.chunkOffsets, (OffsetTable{0x50}));

  // Too close to the end to hold even a count: not a box at all.
  test::LogCapture log;
  ContextOver headerOnly(Bytes{}.Fill(8, 0).Text("stsc").U32(0).U16(1));
  EXPECT_EQ(ReadSamplesPerChunk(headerOnly.context), kNoSampleTable);
}

}  // namespace
}  // namespace quillmend
