#pragma once

#include <array>
#include <cstdint>

#include "core/repair_context.h"
#include "io/output_file.h"
#include "mp4/frame_scanner.h"

namespace quillmend {

inline constexpr std::size_t kAdtsHeaderSize = 7;
// The frame length field has 13 bits and counts the header too.
inline constexpr std::uint32_t kMaxAdtsPayload = 8191 - kAdtsHeaderSize;

// The fixed header of every frame: MPEG-4 AAC LC, 44100 Hz, two channels, no CRC, one raw data
// block; only the frame length (payloadLength + 7, low 13 bits) varies.
std::array<std::uint8_t, kAdtsHeaderSize> MakeAdtsHeader(std::uint32_t payloadLength);

// Appends one ADTS frame: the header, then the span's bytes from the mapped file, then a flush
// so the frame is on disk before the next one is looked for. A span longer than the header can
// describe, or not inside the file, is skipped with a log line (kOk). Returns kWriteFailed once
// the stream has failed, with a log line the first time.
ResultCode WriteAdtsFrame(RepairContext& context, const FrameSpan& span, AppendFile& stream);

}  // namespace quillmend
