#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "support/test_support.h"

namespace quillmend::test {

inline Bytes Stco(const std::vector<std::uint32_t>& offsets) {
  Bytes payload;
  payload.U32(0).U32(static_cast<std::uint32_t>(offsets.size()));
  for (auto offset : offsets) payload.U32(offset);
  return Bytes::Box("stco", payload);
}

// Entries of (first chunk, samples per chunk, sample description index).
inline Bytes Stsc(const std::vector<std::array<std::uint32_t, 3>>& entries) {
  Bytes payload;
  payload.U32(0).U32(static_cast<std::uint32_t>(entries.size()));
  for (const auto& entry : entries) payload.U32(entry[0]).U32(entry[1]).U32(entry[2]);
  return Bytes::Box("stsc", payload);
}

inline Bytes Stsz(const std::vector<std::uint32_t>& sizes, std::uint32_t defaultSize = 0) {
  Bytes payload;
  payload.U32(0).U32(defaultSize).U32(static_cast<std::uint32_t>(sizes.size()));
  for (auto size : sizes) payload.U32(size);
  return Bytes::Box("stsz", payload);
}

}  // namespace quillmend::test
