// The stream parameters of an ALAC track (its "magic cookie"), as the sample entry carries them.
//
// The 24 bytes of the configuration are what every reader needs; writers wrap them differently:
// an MP4 sample entry holds them in an 'alac' full box (12 bytes of size, type, version and
// flags before them), QuickTime's 'wave' atom puts a 'frma' atom before that box, and some
// files carry the bare 24 bytes. A 'chan' atom may follow; it is not needed to read frames.
#ifndef QUILLMEND_ALAC_MAGIC_COOKIE_H
#define QUILLMEND_ALAC_MAGIC_COOKIE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quillmend::alac {

inline constexpr int kMaxChannels = 8;
// A cookie that claims longer frames is refused: no encoder writes one, and a frame's sample
// count is read against it.
inline constexpr std::uint32_t kMaxFrameLength = 1u << 16;

struct Config {
  std::uint32_t frameLength = 4096;  // samples per channel in every frame but a short last one
  std::uint8_t compatibleVersion = 0;
  std::uint8_t bitDepth = 16;    // 16, 20, 24 or 32
  std::uint8_t pb = 40;          // the residual coder's history multiplier
  std::uint8_t mb = 10;          // its initial history
  std::uint8_t kb = 14;          // the largest Rice parameter it uses
  std::uint8_t numChannels = 2;  // 1 ... 8
  std::uint16_t maxRun = 255;
  std::uint32_t maxFrameBytes = 0;  // 0: unknown
  std::uint32_t avgBitRate = 0;     // 0: unknown
  std::uint32_t sampleRate = 0;

  bool operator==(const Config&) const = default;
};

// The configuration in any of the wrappings above, or nothing when the bytes hold none or
// describe a stream no encoder makes (another compatible version, a bit depth other than 16,
// 20, 24 or 32, no channel or more than eight, a frame length of 0 or above kMaxFrameLength).
std::optional<Config> ParseCookie(const std::uint8_t* data, std::size_t size);

// The 'alac' box of an MP4 sample entry (36 bytes), which is also what FFmpeg takes as the
// codec's extradata; or, without the box header, the bare 24 bytes.
std::vector<std::uint8_t> MakeCookie(const Config& config, bool withBoxHeader = true);

}  // namespace quillmend::alac

#endif  // QUILLMEND_ALAC_MAGIC_COOKIE_H
