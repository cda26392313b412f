#include "frame_heads.h"

#include <iterator>
#include <memory>

namespace quillmend {

ResultCode SetDefaultFrameHeads(RepairContext& context) {
  context.frameHeads = std::make_shared<const FrameHeadSet>(std::begin(kDefaultFrameHeads),
                                                            std::end(kDefaultFrameHeads));
  return kOk;
}

namespace {

// Walks the samples in table order and adds their heads to `heads`. Returns when the tables
// run out or stop describing the file.
void CollectSampleHeads(const OffsetTable& chunkOffsets, const ChunkRunTable& runs,
                        const SizeTable& sampleSizes, MappedFile& file, FrameHeadSet& heads) {
  const std::uint64_t fileSize = file.Size();
  PageReleaser releaser(file);
  std::size_t c = 0;  // next chunk offset
  std::size_t s = 0;  // next sample size
  for (auto run = runs.begin(); run != runs.end(); ++run) {
    const auto next = std::next(run);
    // Counts are signed 32-bit: a run whose count is zero or negative contributes no chunk.
    const auto chunkCount = static_cast<std::int32_t>(
        next != runs.end() ? next->first - run->first
                           : static_cast<std::uint32_t>(chunkOffsets.size()) - run->first + 1);
    const auto samplesInChunk = static_cast<std::int32_t>(run->second);
    for (std::int32_t chunk = 0; chunk < chunkCount; ++chunk) {
      if (c >= chunkOffsets.size()) return;
      releaser.Passed(chunkOffsets[c]);
      file.Seek(chunkOffsets[c++], kSeekSet);
      for (std::int32_t sample = 0; sample < samplesInChunk; ++sample) {
        if (s >= sampleSizes.size()) return;
        const std::uint32_t size = sampleSizes[s++];
        if (size < 2 || file.Cursor() >= fileSize || fileSize - file.Cursor() < 2) return;
        std::uint8_t first = 0, second = 0;
        file.ReadU8(first);
        file.ReadU8(second);
        if (second != 0x00) heads.insert(static_cast<std::uint16_t>(first << 8 | second));
        // Samples of one chunk lie back to back.
        file.Seek(size - 2, kSeekForward);
      }
    }
  }
}

}  // namespace

ResultCode LearnFrameHeads(RepairContext& context) {
  FrameHeadSet heads;
  if (context.chunkOffsets && context.samplesPerChunk && context.sampleSizes && context.file) {
    CollectSampleHeads(*context.chunkOffsets, *context.samplesPerChunk, *context.sampleSizes,
                       *context.file, heads);
  }
  context.frameHeads = std::make_shared<const FrameHeadSet>(std::move(heads));
  context.chunkOffsets.reset();
  context.sampleSizes.reset();
  context.samplesPerChunk.reset();
  return kOk;
}

}  // namespace quillmend
