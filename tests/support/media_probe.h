#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillmend::test {

// What FFmpeg's demuxer reads back from a media file: an oracle our code did not compute.
struct Packet {
  std::int64_t position;  // byte offset in the file, -1 when unknown
  std::vector<std::uint8_t> data;
};

struct MediaInfo {
  bool opened = false;
  std::vector<std::string> streams;  // "audio:aac", "video:png", ... in stream order
  double durationSeconds = 0;
  std::vector<Packet> packets;  // packets of stream 0
};

MediaInfo ReadMedia(const std::string& path);

// Runs "ffmpeg -v error -i path -f null -" and returns how many frames failed to decode, or -1
// when the tool itself failed.
int CountDecodeErrors(const std::string& path);

}  // namespace quillmend::test
