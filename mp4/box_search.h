#pragma once

#include <cstdint>

#include "four_cc.h"
#include "sdk/repair_context.h"

namespace quillmend {

// First occurrence of pattern inside haystack, or nullptr. Nothing outside the haystack is read.
const std::uint8_t* FindBytes(const std::uint8_t* haystack, std::uint64_t haystackLength,
                              const std::uint8_t* pattern, std::uint64_t patternLength);

// Calls visit(offset) for every occurrence of the box type in the whole mapped file, in file
// order, where offset is the position of the four type bytes. Occurrences may overlap.
template <typename Visit>
void ForEachBoxType(const MappedFile& file, const FourCc& type, Visit&& visit) {
  const auto* pattern = reinterpret_cast<const std::uint8_t*>(type.bytes);
  const std::uint8_t* data = file.Data();
  const std::uint64_t size = file.Size();
  if (data == nullptr) return;
  const std::uint8_t* found = FindBytes(data, size, pattern, 4);
  while (found != nullptr) {
    const std::uint64_t offset = static_cast<std::uint64_t>(found - data);
    visit(offset);
    found = FindBytes(found + 4, size - offset - 4, pattern, 4);
  }
}

// Rejects a file whose first box is an ftyp box naming another major brand than "M4A ". A file
// without an ftyp box at its start passes: its header may be what was damaged.
ResultCode CheckFileType(RepairContext& context);

// Records, in context.mdatTable, the offset just after every occurrence of "mdat" in the file.
ResultCode FindMediaData(RepairContext& context);

}  // namespace quillmend
