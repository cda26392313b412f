#include "mapped_file.h"

#include <limits>
#include <utility>

namespace quillmend {

MappedFile::MappedFile(std::u16string path) : path_(std::move(path)) { OpenPlatform(); }

MappedFile::~MappedFile() { Close(); }

void MappedFile::Close() {
  ClosePlatform();
  data_ = nullptr;
  view_ = nullptr;
  fileHandle_ = kNoHandle;
  mappingHandle_ = kNoHandle;
  path_.clear();
  path_.shrink_to_fit();
}

std::uint64_t MappedFile::Seek(std::uint64_t amount, std::uint32_t mode) {
  switch (mode) {
    case kSeekSet:
      cursor_ = amount;
      return amount;
    case kSeekBackward:
      if (amount > cursor_) return 0;
      cursor_ -= amount;
      return cursor_;
    case kSeekForward:
      if (amount > std::numeric_limits<std::uint64_t>::max() - cursor_) return 0;
      cursor_ += amount;
      return cursor_;
    default:
      return 0;
  }
}

std::uint8_t MappedFile::ByteAt(std::uint64_t index, bool& inside) const {
  // Compared as "cursor + index < size" without forming the sum, which could wrap.
  if (data_ == nullptr || cursor_ >= size_ || index >= size_ - cursor_) {
    inside = false;
    return 0;
  }
  return data_[cursor_ + index];
}

bool MappedFile::ReadU8(std::uint8_t& out) {
  bool inside = true;
  out = ByteAt(0, inside);
  cursor_ += 1;
  return inside;
}

bool MappedFile::ReadU16(std::uint16_t& out, bool swap) {
  bool inside = true;
  const std::uint16_t value =
      static_cast<std::uint16_t>(ByteAt(0, inside) << 8 | ByteAt(1, inside));
  cursor_ += 2;
  out = swap ? static_cast<std::uint16_t>(value >> 8 | value << 8) : value;
  return inside;
}

bool MappedFile::ReadU32(std::uint32_t& out, bool swap) {
  bool inside = true;
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | ByteAt(i, inside);
  cursor_ += 4;
  if (swap) {
    value = (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
  }
  out = value;
  return inside;
}

}  // namespace quillmend
