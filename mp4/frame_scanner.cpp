#include "frame_scanner.h"

#include <algorithm>
#include <cstring>

namespace quillmend {
namespace {

inline constexpr std::uint8_t kMarkerFirst = 0x01;
inline constexpr std::uint8_t kMarkerThird = 0x14;

// The scanners work on the mapped bytes with a local position instead of moving the cursor one
// byte at a time; they store the cursor where the byte-wise walk would have left it.

// First position p in [from, to) at which a profile head starts, or `to`. A head needs its
// second byte inside the file.
std::uint64_t NextProfileHead(const std::uint8_t* data, std::uint64_t size, std::uint64_t from,
                              std::uint64_t to, const HeadTable& heads) {
  const std::uint64_t limit = size == 0 ? 0 : std::min(to, size - 1);
  if (const int first = heads.CommonFirstByte(); first >= 0) {
    for (std::uint64_t p = from; p < limit; ++p) {
      const auto* hit = static_cast<const std::uint8_t*>(
          std::memchr(data + p, first, static_cast<std::size_t>(limit - p)));
      if (hit == nullptr) break;
      p = static_cast<std::uint64_t>(hit - data);
      if (heads.Contains(static_cast<std::uint16_t>(data[p] << 8 | data[p + 1]))) return p;
    }
    return to;
  }
  for (std::uint64_t p = from; p < limit; ++p) {
    if (heads.Contains(static_cast<std::uint16_t>(data[p] << 8 | data[p + 1]))) return p;
  }
  return to;
}

// First position p in [from, to) at which the marker 01 xx 14 (xx != 00) starts, or `to`.
std::uint64_t NextMarker(const std::uint8_t* data, std::uint64_t size, std::uint64_t from,
                         std::uint64_t to) {
  for (std::uint64_t p = from; p < to && p + 2 < size; ++p) {
    if (data[p] == kMarkerFirst && data[p + 1] != 0x00 && data[p + 2] == kMarkerThird) return p;
  }
  return to;
}

}  // namespace

HeadTable::HeadTable(const FrameHeadSet* heads) {
  if (heads == nullptr || heads->empty()) return;
  commonFirstByte_ = *heads->begin() >> 8;
  for (std::uint16_t head : *heads) {
    bits_[head >> 6] |= std::uint64_t{1} << (head & 63);
    if (head >> 8 != commonFirstByte_) commonFirstByte_ = -1;
  }
}

ResultCode FindFrameInRange(RepairContext& context, FrameSpan& span, std::uint32_t scanStart,
                            std::uint32_t scanEnd, bool useProfile, const HeadTable& heads) {
  MappedFile& file = *context.file;
  if (scanEnd == 0 || scanStart >= scanEnd - 1) return kEndOfScan;
  const std::uint8_t* data = file.Data();
  const std::uint64_t size = data != nullptr ? file.Size() : 0;

  // Every step moves the cursor one byte and the counter by one, except the step that opens a
  // frame in marker mode, which skips the marker's second byte: from then on the cursor runs one
  // byte ahead. So the last candidate position is the start position plus the steps left plus
  // that lead.
  const std::uint64_t origin = file.Cursor();
  const std::uint64_t steps = std::uint64_t{scanEnd - 1} - scanStart;
  std::uint64_t lead = 0;
  std::uint64_t pos = origin;
  bool opened = false;
  while (true) {
    const std::uint64_t limit = origin + steps + lead;
    const std::uint64_t head = useProfile ? NextProfileHead(data, size, pos, limit, heads)
                                          : NextMarker(data, size, pos, limit);
    if (head >= limit) {
      file.Seek(limit, kSeekSet);
      return kEndOfScan;
    }
    if (opened) {
      span.length = static_cast<std::uint32_t>(head - span.start);
      file.Seek(head, kSeekSet);
      return kOk;
    }
    span.start = static_cast<std::uint32_t>(head);
    opened = true;
    if (useProfile) {
      pos = head + 1;
    } else {
      pos = head + 2;
      lead = 1;
    }
  }
}

ResultCode FindFrameInRange(RepairContext& context, FrameSpan& span, std::uint32_t scanStart,
                            std::uint32_t scanEnd, bool useProfile) {
  return FindFrameInRange(context, span, scanStart, scanEnd, useProfile,
                          HeadTable(context.frameHeads.get()));
}

ResultCode FindFrameInFile(RepairContext& /*context*/, MappedFile& file, FrameSpan& span,
                           const HeadTable& heads) {
  const std::uint8_t* data = file.Data();
  const std::uint64_t size = data != nullptr ? file.Size() : 0;
  bool open = span.start != 0;
  std::uint64_t pos = file.Cursor();
  // The counter starts at the cursor and stops at size - 1; opening a frame puts the cursor one
  // byte ahead of it, as in FindFrameInRange.
  const std::uint64_t origin = pos;
  const std::uint64_t steps = size > 0 && origin < size - 1 ? size - 1 - origin : 0;
  std::uint64_t lead = 0;
  while (true) {
    const std::uint64_t limit = origin + steps + lead;
    const std::uint64_t head = NextProfileHead(data, size, pos, limit, heads);
    if (head >= limit) {
      file.Seek(limit, kSeekSet);
      break;
    }
    if (open) {
      const std::uint32_t distance = static_cast<std::uint32_t>(head - span.start);
      span.length = distance;
      if (distance <= kMaxScannedFrameLength) {
        file.Seek(head + 2, kSeekSet);
        return kOk;
      }
      // Too long to be one frame: give it up and start again at the head reached.
      span.start = static_cast<std::uint32_t>(head);
      span.length = 0;
      pos = head + 1;
    } else {
      span.start = static_cast<std::uint32_t>(head);
      open = true;
      pos = head + 2;
      lead = 1;
    }
  }
  // Tail rule: the last frame ends two bytes before the end of the file.
  if (open && size >= 2 && span.start <= size - 2 &&
      size - 2 - span.start <= kMaxScannedFrameLength) {
    span.length = static_cast<std::uint32_t>(size - 2 - span.start);
  }
  return kEndOfScan;
}

ResultCode FindFrameInFile(RepairContext& context, MappedFile& file, FrameSpan& span) {
  return FindFrameInFile(context, file, span, HeadTable(context.frameHeads.get()));
}

}  // namespace quillmend
