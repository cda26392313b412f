#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "io/mapped_file.h"
#include "result_codes.h"

namespace quillmend {

using OffsetTable = std::vector<std::uint32_t>;
using ChunkRunTable = std::map<std::uint32_t, std::uint32_t>;  // first chunk -> samples/chunk
using SizeTable = std::vector<std::uint32_t>;
using FrameHeadSet = std::set<std::uint16_t>;

// What one repair call owns from its argument check to its return: the one input file that
// the analysis reads and the tables through which the stages hand their results on. A table is
// built whole by its producer and never changed once stored; a producer replaces the slot.
struct RepairContext {
  RepairContext() = default;
  ~RepairContext();
  RepairContext(const RepairContext&) = delete;
  RepairContext& operator=(const RepairContext&) = delete;

  std::shared_ptr<const OffsetTable> chunkOffsets;
  std::shared_ptr<const ChunkRunTable> samplesPerChunk;
  std::shared_ptr<const SizeTable> sampleSizes;
  std::shared_ptr<const FrameHeadSet> frameHeads;
  std::shared_ptr<const OffsetTable> mdatTable;
  std::u16string filePath;
  std::unique_ptr<MappedFile> file;
  bool mapped = false;
};

// Maps the file at utf8Path into the context. Returns kOk, kMapFailed for a file that cannot
// be opened or mapped or is empty, or kTooLarge for a file of 4 GiB or more, whose offsets the
// 32-bit tables cannot hold. Throws std::range_error for a path that is not UTF-8.
ResultCode MapContextFile(RepairContext& context, std::string_view utf8Path);

}  // namespace quillmend
