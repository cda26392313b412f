#pragma once
// Audio frames (AAC, ALAC), as they are, into a new MP4 file through FFmpeg's muxer.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ffmpeg_ptr.h"

namespace quillmend {

enum class AudioCodec : std::uint8_t { kAac, kAlac };

// How the frames are coded: `config` is the AAC AudioSpecificConfig or the ALAC 'alac' box.
struct AudioFormat {
  AudioCodec codec = AudioCodec::kAac;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  std::vector<std::uint8_t> config;
  std::uint32_t frameSamples = 1024;
};

class M4aWriter {
 public:
  // Each call returns "" or the reason it failed, in FFmpeg's words.
  std::string Open(const std::filesystem::path& path, const AudioFormat& format);
  std::string Open(const std::filesystem::path& path, std::uint32_t rate, std::uint32_t channels,
                   const std::vector<std::uint8_t>& audioConfig) {
    return Open(path, AudioFormat{AudioCodec::kAac, rate, channels, audioConfig, 1024});
  }
  // The next frame, of `samples` samples (0: the format's frame length). The bytes are written
  // before the call returns.
  std::string Write(const std::uint8_t* frame, std::uint32_t size, std::uint32_t samples = 0);
  // Writes the index and closes the file.
  std::string Close();

 private:
  OutputFormatPtr output_;
  PacketPtr packet_;
  std::int64_t next_ = 0;
  std::uint32_t frameSamples_ = 1024;
};

}  // namespace quillmend
