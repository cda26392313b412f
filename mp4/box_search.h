#pragma once

#include <cstdint>

#include "four_cc.h"
#include "core/repair_context.h"

namespace quillmend {

// First occurrence of pattern inside haystack, or nullptr. Nothing outside the haystack is read.
const std::uint8_t* FindBytes(const std::uint8_t* haystack, std::uint64_t haystackLength,
                              const std::uint8_t* pattern, std::uint64_t patternLength);

// Calls visit(offset) for every occurrence of the box type in the whole mapped file, in file
// order, where offset is the position of the four type bytes; the search resumes after those
// four bytes.
template <typename Visit>
void ForEachBoxType(const MappedFile& file, const FourCc& type, Visit&& visit) {
  const auto* pattern = reinterpret_cast<const std::uint8_t*>(type.bytes);
  const std::uint8_t* data = file.Data();
  const std::uint64_t size = file.Size();
  if (data == nullptr) return;
  // The file is searched a window at a time so that the pages behind can be released.
  constexpr std::uint64_t kWindow = std::uint64_t{16} << 20;
  PageReleaser releaser(file);
  std::uint64_t from = 0;
  while (size - from >= 4) {
    // Windows overlap by three bytes so that a type crossing a window's end is found.
    const std::uint64_t windowEnd = size - from > kWindow + 3 ? from + kWindow + 3 : size;
    const std::uint8_t* found = FindBytes(data + from, windowEnd - from, pattern, 4);
    if (found != nullptr) {
      const auto offset = static_cast<std::uint64_t>(found - data);
      visit(offset);
      from = offset + 4;
    } else {
      from = windowEnd - 3;
    }
    releaser.Passed(from);
  }
}

// Rejects a file whose first box is an ftyp box naming another major brand than "M4A ". A file
// without an ftyp box at its start passes: its header may be what was damaged.
ResultCode CheckFileType(RepairContext& context);

// Records, in context.mdatTable, the offset just after every occurrence of "mdat" in the file.
ResultCode FindMediaData(RepairContext& context);

}  // namespace quillmend
