#pragma once
// Audio frames (AAC, ALAC), as they are, into a new MP4 file through FFmpeg's muxer. The file
// is created and written through the Env in force, like every file a repair writes.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "ffmpeg_ptr.h"
#include "io/env.h"

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
  M4aWriter() = default;
  M4aWriter(const M4aWriter&) = delete;
  M4aWriter& operator=(const M4aWriter&) = delete;

  // Each call returns "" or the reason it failed. Open creates the file, which must not exist
  // (a link there is not followed); after a failure what was written of it stays, for the
  // caller to remove.
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
  struct IoContextFree {
    void operator()(AVIOContext* io) const noexcept;
  };
  // The muxer's I/O, through the file: positions are ours to keep, as the muxer seeks back to
  // fill in sizes. The first failure sticks, so no write lands after a lost one.
  static int WritePacket(void* self, std::uint8_t* data, int size);
  static std::int64_t SeekTo(void* self, std::int64_t offset, int whence);
  std::string Reason(const char* what, int code) const;

  // Released in reverse: the muxer before its I/O context, both before the file.
  std::unique_ptr<WritableFile> file_;
  std::error_code error_;
  std::uint64_t position_ = 0, size_ = 0;
  std::unique_ptr<AVIOContext, IoContextFree> io_;
  OutputFormatPtr output_;
  PacketPtr packet_;
  std::int64_t next_ = 0;
  std::uint32_t frameSamples_ = 1024;
};

}  // namespace quillmend
