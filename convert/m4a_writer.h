#pragma once
// AAC frames, as they are, into a new MP4 file through FFmpeg's muxer.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ffmpeg_ptr.h"

namespace quillmend {

class M4aWriter {
 public:
  // Each call returns "" or the reason it failed, in FFmpeg's words.
  std::string Open(const std::filesystem::path& path, std::uint32_t rate, std::uint32_t channels,
                   const std::vector<std::uint8_t>& audioConfig);
  // The next frame; it lasts 1024 samples. The bytes are written before the call returns.
  std::string Write(const std::uint8_t* frame, std::uint32_t size);
  // Writes the index and closes the file.
  std::string Close();

 private:
  OutputFormatPtr output_;
  PacketPtr packet_;
  std::int64_t next_ = 0;
};

}  // namespace quillmend
