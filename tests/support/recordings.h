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

// A recording made with the ffmpeg tool and passed through the recorderize example, so that
// its frames begin as a hardware recorder's do; at full bandwidth (-cutoff 20000) nearly every
// frame then starts with one of the heads the general repair knows.
Recording MakeRecorderLikeRecording(const std::string& path, double seconds);

// Top-level boxes: the offset of the first box of the given type, or 0.
std::uint64_t FindTopLevelBox(const std::vector<std::uint8_t>& bytes, const char* type);

}  // namespace quillmend::test
