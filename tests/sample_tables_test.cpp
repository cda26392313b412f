#include "mp4/sample_tables.h"

#include "support/context.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ContextOver;

Bytes Stco(const std::vector<std::uint32_t>& offsets) {
  return Bytes::Table("stco", {}, static_cast<std::uint32_t>(offsets.size()), offsets);
}

class SampleTablesTest : public test::LogTest {};

TEST_F(SampleTablesTest, ReadsTheThreeTablesAtEveryOccurrence) {
  ContextOver over(Bytes{}
                       .Fill(20, 0)
                       .Append(Stco({0x30, 0x400, 0x800}))
                       .Append(Bytes::Table("stsc", {}, 3, {1, 22, 1, 5, 20, 1, 5, 17, 1}))
                       .Append(Bytes::Table("stsz", {0}, 2, {371, 380})));
  RepairContext& context = over.context;
  context.file->Seek(7, kSeekSet);  // the readers place the cursor themselves
  ASSERT_EQ(ReadChunkOffsets(context), kOk);
  ASSERT_EQ(ReadSamplesPerChunk(context), kOk);
  ASSERT_EQ(ReadSampleSizes(context), kOk);
  EXPECT_EQ(*context.chunkOffsets, (OffsetTable{0x30, 0x400, 0x800}));
  EXPECT_EQ(*context.samplesPerChunk, (ChunkRunTable{{1, 22}, {5, 20}}));  // first entry kept
  EXPECT_EQ(*context.sampleSizes, (SizeTable{371, 380}));

  // A default size does not stop the sizes from being read.
  ContextOver sizes(Bytes::Table("stsz", {400}, 2, {7, 9}));
  ASSERT_EQ(ReadSampleSizes(sizes.context), kOk);
  EXPECT_EQ(*sizes.context.sampleSizes, (SizeTable{7, 9}));
  // The last occurrence wins, and a count of 0 is a valid table.
  ContextOver twice(Stco({1, 2}).Append(Stco({})));
  ASSERT_EQ(ReadChunkOffsets(twice.context), kOk);
  EXPECT_TRUE(twice.context.chunkOffsets->empty());
  EXPECT_TRUE(Messages().empty());
}

TEST_F(SampleTablesTest, MissingBoxesAreReportedByName) {
  ContextOver over(Stco({1}).Append(Bytes::Table("stsc", {}, 1, {1, 1, 1})).Fill(8, 0));
  EXPECT_EQ(ReadChunkOffsets(over.context), kOk);
  EXPECT_EQ(ReadSamplesPerChunk(over.context), kOk);
  EXPECT_EQ(ReadSampleSizes(over.context), kNoSampleTable);
  EXPECT_EQ(over.context.sampleSizes, nullptr);
  ContextOver bare(Bytes{}.Fill(64, 0));
  EXPECT_EQ(ReadChunkOffsets(bare.context), kNoSampleTable);
  EXPECT_EQ(ReadSamplesPerChunk(bare.context), kNoSampleTable);
  // Too close to the end to hold even a count: not a box at all.
  ContextOver headerOnly(Bytes{}.Fill(8, 0).Text("stsc").U32(0).U16(1));
  EXPECT_EQ(ReadSamplesPerChunk(headerOnly.context), kNoSampleTable);
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            ">>[!] Can't find \"stsz\" box", ">>[!] Can't find \"stco\" box",
                            ">>[!] Can't find \"stsc\" box", ">>[!] Can't find \"stsc\" box"}));
}

// An accidental "stco" in audio data, with a count far beyond the file, must neither read past
// the end nor replace a real table found before it; alone, it keeps the entries inside the file.
TEST_F(SampleTablesTest, OccurrencesRunningPastTheEndAreContained) {
  const Bytes accidental = Bytes{}.Text("stco").U32(0).U32(0xFFFFFFFF).U32(0x11).U32(0x22);
  ContextOver realFirst(Stco({0x30, 0x40}).Append(accidental));
  ASSERT_EQ(ReadChunkOffsets(realFirst.context), kOk);
  EXPECT_EQ(*realFirst.context.chunkOffsets, (OffsetTable{0x30, 0x40}));
  ContextOver onlyTruncated(Bytes{}.Fill(8, 0).Append(accidental).U8(0x33));
  ASSERT_EQ(ReadChunkOffsets(onlyTruncated.context), kOk);
  EXPECT_EQ(*onlyTruncated.context.chunkOffsets, (OffsetTable{0x11, 0x22}));
  ContextOver realAfter(Bytes{}.Append(accidental).Fill(3, 0).Append(Stco({0x50})));
  ASSERT_EQ(ReadChunkOffsets(realAfter.context), kOk);
  EXPECT_EQ(*realAfter.context.chunkOffsets, (OffsetTable{0x50}));
}

}  // namespace
}  // namespace quillmend
