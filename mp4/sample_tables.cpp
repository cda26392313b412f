#include "sample_tables.h"

#include <memory>

#include "box_search.h"
#include "core/log_sink.h"

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

// Reads the table of layout.type into slot through addEntry(table, words), where words points at
// the entry's wordsPerEntry values. Every occurrence of the type replaces the table of the one
// before it, so only the one that would be stored last is parsed: parsing each in turn made a
// file full of the type's bytes cost time quadratic in its size.
template <typename Table, typename AddEntry>
ResultCode ReadTable(RepairContext& context, const TableLayout& layout,
                     std::shared_ptr<const Table>& slot, AddEntry addEntry) {
  MappedFile& file = *context.file;
  const std::uint64_t size = file.Size();
  const std::uint64_t headerBytes = 4 + 4 * (layout.wordsBeforeCount + 1);
  const std::uint64_t entryBytes = 4 * layout.wordsPerEntry;

  // An occurrence whose entries all lie inside the file replaces whatever came before. One whose
  // entries would run past the end cannot belong to a healthy file: it replaces nothing, and
  // only when it is the first table of all are the entries inside the file kept.
  struct Occurrence {
    std::uint64_t offset = 0;
    std::uint64_t entries = 0;
    bool found = false;
  };
  Occurrence lastWhole, firstCut;
  ForEachBoxType(file, layout.type, [&](std::uint64_t offset) {
    // An occurrence too close to the end to hold even the entry count is not a box.
    if (headerBytes > size - offset) return;
    file.Seek(offset + headerBytes - 4, kSeekSet);
    std::uint32_t count = 0;
    file.ReadU32(count, false);
    const std::uint64_t fitting = (size - offset - headerBytes) / entryBytes;
    if (count <= fitting) {
      lastWhole = {offset, count, true};
    } else if (!firstCut.found && !lastWhole.found) {
      firstCut = {offset, fitting, true};
    }
  });

  const Occurrence& chosen = lastWhole.found ? lastWhole : firstCut;
  if (!chosen.found || (!lastWhole.found && slot)) {
    if (slot) return kOk;
    LogError(layout.missingLine);
    return kNoSampleTable;
  }
  file.Seek(chosen.offset + headerBytes, kSeekSet);
  Table table;
  std::uint32_t words[3] = {};
  for (std::uint64_t i = 0; i < chosen.entries; ++i) {
    for (std::uint32_t w = 0; w < layout.wordsPerEntry; ++w) file.ReadU32(words[w], false);
    addEntry(table, words);
  }
  slot = std::make_shared<const Table>(std::move(table));
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
