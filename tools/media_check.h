#pragma once

#include <string>

namespace quillmend::tool {

// What the FFmpeg libraries read back from a repaired file.
struct MediaCheck {
  bool opened = false;
  bool hasAac = false;
  double durationSeconds = 0;
  long long aacFrames = 0;
  long long decodedFrames = 0;  // only when decoding was asked for
  long long undecodableFrames = 0;
};

// Opens the file, counts the packets of its first AAC stream and, when decode is set, decodes
// them all.
MediaCheck CheckMedia(const std::string& path, bool decode);

// Keeps FFmpeg's own messages off the terminal.
void QuietFfmpegLog();

}  // namespace quillmend::tool
