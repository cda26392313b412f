#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/media_probe.h"

namespace quillmend::test {

// A recording as a hardware recorder would leave it, with the frames FFmpeg's demuxer finds
// through the file's own sample tables.
struct Recording {
  std::vector<std::uint8_t> bytes;
  std::vector<Packet> frames;    // positions and contents, in file order
  std::uint64_t moovOffset = 0;  // the top-level moov box
  std::uint64_t mdatPayload = 0, mdatEnd = 0;
};

// FFmpeg's AAC encoder writes long-window frames with the KBD window shape (heads 0x211C and
// 0x217C). Clearing that bit in the frames that start a channel pair element with window
// sequence 0 or 3 gives a stream that still decodes and whose heads are those of recorders
// (0x210C, 0x216C); at full bandwidth (-cutoff 20000) nearly every frame has them.
Recording MakeRecorderLikeRecording(const std::string& path, double seconds);

// Top-level boxes: the offset of the first box of the given type, or 0.
std::uint64_t FindTopLevelBox(const std::vector<std::uint8_t>& bytes, const char* type);

}  // namespace quillmend::test
