#include "box_search.h"

#include <cstring>
#include <memory>

#include "core/log_sink.h"

namespace quillmend {

const std::uint8_t* FindBytes(const std::uint8_t* haystack, std::uint64_t haystackLength,
                              const std::uint8_t* pattern, std::uint64_t patternLength) {
  if (haystack == nullptr || patternLength == 0 || haystackLength < patternLength) return nullptr;
  const std::uint8_t* const last = haystack + (haystackLength - patternLength);
  const std::uint8_t* candidate = haystack;
  while (candidate <= last) {
    // memchr does the one-byte test at memory speed; the full compare runs only on a hit.
    const auto* first = static_cast<const std::uint8_t*>(
        std::memchr(candidate, pattern[0], static_cast<size_t>(last - candidate) + 1));
    if (first == nullptr) return nullptr;
    if (std::memcmp(first, pattern, static_cast<size_t>(patternLength)) == 0) return first;
    candidate = first + 1;
  }
  return nullptr;
}

ResultCode CheckFileType(RepairContext& context) {
  MappedFile& file = *context.file;
  std::uint32_t boxSize = 0, boxType = 0, majorBrand = 0;
  // Bytes beyond a file shorter than 12 bytes read as zeros.
  file.ReadU32(boxSize, false);
  file.ReadU32(boxType, false);
  file.ReadU32(majorBrand, false);
  if (boxType != kBoxFtyp.Value() || majorBrand == kBrandM4a.Value()) return kOk;
  LogError(">>[!] This file is not an M4A file");
  return kNotM4a;
}

ResultCode FindMediaData(RepairContext& context) {
  OffsetTable offsets;
  ForEachBoxType(*context.file, kBoxMdat, [&](std::uint64_t offset) {
    // Offsets are 32-bit; files that large are refused when they are mapped.
    offsets.push_back(static_cast<std::uint32_t>(offset + 4));
  });
  if (offsets.empty()) {
    LogError(">>[!] Can't find the mdat box");
    return kNoMediaData;
  }
  context.mdatTable = std::make_shared<const OffsetTable>(std::move(offsets));
  return kOk;
}

}  // namespace quillmend
