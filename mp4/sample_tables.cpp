#include "sample_tables.h"

#include <memory>

#include "box_search.h"
#include "sdk/log_sink.h"

namespace quillmend {
namespace {

// How a table box lies after its four type bytes: some 32-bit words that are skipped (version
// and flags, and for stsz the default size), the entry count, then fixed-size entries.
struct TableLayout {
  FourCc type;
  std::uint32_t wordsBeforeCount;
  std::uint32_t wordsPerEntry;
  const char* missingLine;
};

constexpr TableLayout kStcoLayout{kBoxStco, 1, 1, ">>[!] Can't find \"stco\" box"};
constexpr TableLayout kStscLayout{kBoxStsc, 1, 3, ">>[!] Can't find \"stsc\" box"};
constexpr TableLayout kStszLayout{kBoxStsz, 2, 1, ">>[!] Can't find \"stsz\" box"};

// Parses every occurrence of layout.type into a fresh Table through addEntry(table, words),
// where words points at the entry's wordsPerEntry values, and stores it in slot.
template <typename Table, typename AddEntry>
ResultCode ReadTable(RepairContext& context, const TableLayout& layout,
                     std::shared_ptr<const Table>& slot, AddEntry addEntry) {
  MappedFile& file = *context.file;
  const std::uint64_t size = file.Size();
  const std::uint64_t headerBytes = 4 + 4 * (layout.wordsBeforeCount + 1);
  const std::uint64_t entryBytes = 4 * layout.wordsPerEntry;
  bool found = false;

  ForEachBoxType(file, layout.type, [&](std::uint64_t offset) {
    // An occurrence too close to the end to hold even the entry count is not a box.
    if (headerBytes > size - offset) return;
    file.Seek(offset, kSeekSet);
    std::uint32_t word = 0;
    file.ReadU32(word, false);  // the type itself
    file.Seek(4 * std::uint64_t{layout.wordsBeforeCount}, kSeekForward);
    std::uint32_t count = 0;
    file.ReadU32(count, false);

    const std::uint64_t fitting = (size - offset - headerBytes) / entryBytes;
    const bool truncated = count > fitting;
    if (truncated && slot) return;
    const std::uint64_t entries = truncated ? fitting : count;

    Table table;
    std::uint32_t words[3] = {};
    for (std::uint64_t i = 0; i < entries; ++i) {
      for (std::uint32_t w = 0; w < layout.wordsPerEntry; ++w) file.ReadU32(words[w], false);
      addEntry(table, words);
    }
    slot = std::make_shared<const Table>(std::move(table));
    found = true;
  });

  if (!found && !slot) {
    LogError(layout.missingLine);
    return kNoSampleTable;
  }
  return kOk;
}

}  // namespace

ResultCode ReadChunkOffsets(RepairContext& context) {
  return ReadTable<OffsetTable>(
      context, kStcoLayout, context.chunkOffsets,
      [](OffsetTable& table, const std::uint32_t* entry) { table.push_back(entry[0]); });
}

ResultCode ReadSamplesPerChunk(RepairContext& context) {
  return ReadTable<ChunkRunTable>(context, kStscLayout, context.samplesPerChunk,
                                  [](ChunkRunTable& table, const std::uint32_t* entry) {
                                    // A repeated first chunk keeps its first entry.
                                    table.emplace(entry[0], entry[1]);
                                  });
}

ResultCode ReadSampleSizes(RepairContext& context) {
  return ReadTable<SizeTable>(
      context, kStszLayout, context.sampleSizes,
      [](SizeTable& table, const std::uint32_t* entry) { table.push_back(entry[0]); });
}

}  // namespace quillmend
