#include "repair_context.h"

#include <new>
#include <utility>

#include "io/utf8.h"
#include "log_sink.h"

namespace quillmend {

// Positions in the tables and in frame spans are 32-bit.
inline constexpr std::uint64_t kMaxContextFileSize = std::uint64_t{1} << 32;

RepairContext::~RepairContext() {
  if (file) {
    file->Close();
    file.reset();
  }
  mapped = false;
  filePath.clear();
  mdatTable.reset();
  frameHeads.reset();
  sampleSizes.reset();
  samplesPerChunk.reset();
  chunkOffsets.reset();
}

ResultCode MapContextFile(RepairContext& context, std::string_view utf8Path) {
  context.filePath = Utf8ToWide(utf8Path);
  context.file.reset(new (std::nothrow) MappedFile(context.filePath));
  const MappedFile* file = context.file.get();
  if (file == nullptr || file->Data() == nullptr || file->Size() < 1) {
    context.mapped = false;
    LogError(">>[!] The file Mapping filed");
    return kMapFailed;
  }
  if (file->Size() >= kMaxContextFileSize) {
    context.mapped = false;
    LogError(">>[!] The file is too large: 4 GiB or more");
    return kTooLarge;
  }
  context.mapped = true;
  return kOk;
}

}  // namespace quillmend
