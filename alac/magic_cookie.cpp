#include "alac/magic_cookie.h"

#include <cstring>

namespace quillmend::alac {
namespace {

constexpr char kAtomFrma[] = "frma";
constexpr char kAtomAlac[] = "alac";
constexpr std::size_t kConfigBytes = 24;
constexpr std::size_t kFullBoxHeaderBytes = 12;  // size, type, version and flags

std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

// Whether the bytes at `at` start an atom of the given type that says it is at least
// `minimumSize` bytes long.
bool AtomAt(const std::uint8_t* data, std::size_t size, std::size_t at, const char* type,
            std::size_t minimumSize) {
  if (at > size || size - at < 8 || std::memcmp(data + at + 4, type, 4) != 0) return false;
  const std::uint32_t atomSize = U32(data + at);
  return atomSize >= minimumSize;
}

}  // namespace

std::optional<Config> ParseCookie(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr) return std::nullopt;
  std::size_t at = 0;
  if (AtomAt(data, size, at, kAtomFrma, 12)) {
    // The format atom's size says where the next one starts; a lying size would move the read
    // off the configuration, so only the size every writer uses is followed.
    if (U32(data) != 12) return std::nullopt;
    at = 12;
  }
  if (AtomAt(data, size, at, kAtomAlac, kFullBoxHeaderBytes + kConfigBytes)) {
    at += kFullBoxHeaderBytes;
  }
  if (at > size || size - at < kConfigBytes) return std::nullopt;
  const std::uint8_t* p = data + at;
  Config config;
  config.frameLength = U32(p);
  config.compatibleVersion = p[4];
  config.bitDepth = p[5];
  config.pb = p[6];
  config.mb = p[7];
  config.kb = p[8];
  config.numChannels = p[9];
  config.maxRun = static_cast<std::uint16_t>(p[10] << 8 | p[11]);
  config.maxFrameBytes = U32(p + 12);
  config.avgBitRate = U32(p + 16);
  config.sampleRate = U32(p + 20);

  if (config.compatibleVersion != 0) return std::nullopt;
  if (config.bitDepth != 16 && config.bitDepth != 20 && config.bitDepth != 24 &&
      config.bitDepth != 32) {
    return std::nullopt;
  }
  if (config.numChannels < 1 || config.numChannels > kMaxChannels) return std::nullopt;
  if (config.frameLength == 0 || config.frameLength > kMaxFrameLength) return std::nullopt;
  return config;
}

std::vector<std::uint8_t> MakeCookie(const Config& config, bool withBoxHeader) {
  std::vector<std::uint8_t> out;
  out.reserve(kFullBoxHeaderBytes + kConfigBytes);
  if (withBoxHeader) {
    PutU32(out, kFullBoxHeaderBytes + kConfigBytes);
    out.insert(out.end(), kAtomAlac, kAtomAlac + 4);
    PutU32(out, 0);  // version and flags
  }
  PutU32(out, config.frameLength);
  out.push_back(config.compatibleVersion);
  out.push_back(config.bitDepth);
  out.push_back(config.pb);
  out.push_back(config.mb);
  out.push_back(config.kb);
  out.push_back(config.numChannels);
  out.push_back(static_cast<std::uint8_t>(config.maxRun >> 8));
  out.push_back(static_cast<std::uint8_t>(config.maxRun));
  PutU32(out, config.maxFrameBytes);
  PutU32(out, config.avgBitRate);
  PutU32(out, config.sampleRate);
  return out;
}

}  // namespace quillmend::alac
