#pragma once

#include <string>

namespace quillmend::tool {

// What the FFmpeg libraries read back from a repaired file.
struct MediaCheck {
  bool opened = false;
  bool hasAac = false;
  double durationSeconds = 0;
  long long aacFrames = 0;
  long long decodedFrames = 0;  // of the packets tried, when decoding was asked for
  long long undecodableFrames = 0;
};

// Opens the file and counts the packets of its first AAC stream; when decode is set, the first
// of them are decoded too, which is enough to tell a usable file from a broken one without
// spending on a long recording the time its encoding took.
MediaCheck CheckMedia(const std::string& path, bool decode);

// Keeps FFmpeg's own messages off the terminal.
void QuietFfmpegLog();

}  // namespace quillmend::tool
