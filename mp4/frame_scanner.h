#pragma once

#include <array>
#include <cstdint>

#include "core/repair_context.h"

namespace quillmend {

// One frame found by a scanner: the absolute offset of its head and its length up to, not
// including, the head of the next frame.
struct FrameSpan {
  std::uint32_t start = 0;
  std::uint32_t length = 0;
};

// Membership in a frame-head profile, asked once per scanned byte: a 65,536-bit table built
// once from the ordered set instead of a tree search per byte.
class HeadTable {
 public:
  HeadTable() = default;
  explicit HeadTable(const FrameHeadSet* heads);
  bool Contains(std::uint16_t head) const { return (bits_[head >> 6] >> (head & 63)) & 1; }
  // The first byte that every head shares, or -1: recorders' profiles mostly have one, which
  // lets the scan jump between its occurrences instead of testing every byte.
  int CommonFirstByte() const { return commonFirstByte_; }

 private:
  std::array<std::uint64_t, 1024> bits_{};
  int commonFirstByte_ = -1;
};

// The longest frame the whole-file scanner accepts. An AAC frame carries at most 6144 bits per
// channel, so a stereo frame stays below 4096 bytes; a longer span is not one frame.
inline constexpr std::uint32_t kMaxScannedFrameLength = 4095;

// Cuts one frame out of the stretch [scanStart, scanEnd) of the context's mapped file, whose
// cursor the caller has placed at scanStart. Profile mode (useProfile) recognises a head by the
// table; marker mode by the bytes 01 xx 14 with xx != 00. Returns kOk with the frame in span and
// the cursor on the next frame's head, or kEndOfScan when the stretch holds no further complete
// frame (span.start then holds an unclosed opening head, if one was seen). The step counter,
// not the cursor, bounds the scan; no byte outside the file is read.
ResultCode FindFrameInRange(RepairContext& context, FrameSpan& span, std::uint32_t scanStart,
                            std::uint32_t scanEnd, bool useProfile, const HeadTable& heads);
// The same, with the table built from context.frameHeads for this one call.
ResultCode FindFrameInRange(RepairContext& context, FrameSpan& span, std::uint32_t scanStart,
                            std::uint32_t scanEnd, bool useProfile);

// Cuts the next frame out of the whole of `file`, from its cursor, by the profile. A non-zero
// span.start on entry is a frame left open by an earlier call, whose end is still to be found.
// Frames must be shorter than 4096 bytes: a longer one is given up and a new one opened at the
// head reached. Returns kOk with the cursor two bytes past the closing head's start, or
// kEndOfScan at the end of the file, where an open frame short enough gets the length up to two
// bytes before the end. Files must be smaller than 2 GiB.
ResultCode FindFrameInFile(RepairContext& context, MappedFile& file, FrameSpan& span,
                           const HeadTable& heads);
ResultCode FindFrameInFile(RepairContext& context, MappedFile& file, FrameSpan& span);

}  // namespace quillmend
