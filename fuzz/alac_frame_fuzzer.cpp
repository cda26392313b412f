// The ALAC frame and cookie parsers over any bytes: they stay inside the bytes given, a valid
// frame fits them, and a frame's length is its own: the same with only its bytes given, and one
// byte less needs more bytes. A cookie that parses is written back to the same configuration;
// the frames after it are read with it. Inference and the walk's interface run over the same
// bytes.
#include <cstdint>
#include <vector>

#include "alac/alac_syntax.h"
#include "fuzz_support.h"

namespace {

using namespace quillmend::alac;
using quillmend::FrameRead;
using quillmend::FrameStatus;
using quillmend::fuzz::Require;

// A copy of exactly `size` bytes, so that AddressSanitizer sees any read past them.
FrameInfo ParseCopy(const std::uint8_t* data, std::size_t size, const Config& config) {
  const std::vector<std::uint8_t> copy(data, data + size);
  return ParseFrame(copy.data(), copy.size(), config);
}

void CheckFrame(const std::uint8_t* data, std::size_t size, const Config& config) {
  const FrameInfo info = ParseFrame(data, size, config);
  Require(info.bitsRead <= size * 8, "read past the bytes given");
  Require(info.samplesBit <= info.bitsRead, "samples that start after the reading stopped");
  if (info.status != FrameStatus::kValid) return;
  Require(info.bytes > 0 && info.bytes <= size, "a valid frame longer than its bytes");
  Require(info.layout.count > 0 && info.layout.Channels() <= kMaxChannels,
          "a valid frame without audio");
  Require(config.numChannels == 0 || info.layout.Channels() == config.numChannels,
          "a frame with another channel count than its stream's");
  Require(info.samples > 0 && info.samples <= config.frameLength, "a sample count out of range");
  const FrameInfo alone = ParseCopy(data, info.bytes, config);
  Require(alone.status == FrameStatus::kValid && alone.bytes == info.bytes,
          "a frame whose length depends on the bytes after it");
  Require(ParseCopy(data, info.bytes - 1, config).status == FrameStatus::kTruncated,
          "a frame that is not cut short one byte shorter");

  if (config.numChannels == 0) return;
  const AlacSyntax syntax(config);
  const FrameRead read = syntax.Read(data, size);
  Require(syntax.Fits(read) && read.bytes == info.bytes, "the syntax reads another frame");
  Require(syntax.MayStart(data[0]), "a frame that may not start where it does");
  const std::unique_ptr<quillmend::FrameSyntax> bound = syntax.BindTo(read);
  Require(bound->Fits(read) && bound->MayStart(data[0]), "a bound syntax refuses its frame");
}

Config Make(int bitDepth, int channels, std::uint32_t frameLength = 4096) {
  Config config;
  config.bitDepth = static_cast<std::uint8_t>(bitDepth);
  config.numChannels = static_cast<std::uint8_t>(channels);
  config.frameLength = frameLength;
  return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Config kConfigs[] = {Make(16, 2), Make(16, 1), Make(24, 2),      Make(24, 1),
                                    Make(16, 6), Make(32, 0), Make(20, 0, 352), Make(24, 0, 16)};
  for (const Config& config : kConfigs) CheckFrame(data, size, config);

  constexpr std::size_t kCookieBytes = 36;
  if (const std::optional<Config> cookie = ParseCookie(data, size)) {
    const std::vector<std::uint8_t> again = MakeCookie(*cookie);
    Require(ParseCookie(again.data(), again.size()) == cookie, "a cookie that does not round-trip");
    Require(MakeSyntax(*cookie) != nullptr, "a cookie that makes no syntax");
    if (size > kCookieBytes) CheckFrame(data + kCookieBytes, size - kCookieBytes, *cookie);
  }

  InferOptions options;
  options.enoughFrames = 4;
  const Inference found = InferConfig(data, 0, size, options);
  if (found.certainty != Certainty::kNone) {
    Require(found.start < size && found.frames > 0, "a chain outside the bytes");
    Require(ParseFrame(data + found.start, size - found.start, found.config).status ==
                FrameStatus::kValid,
            "inference found a frame its config does not read");
  }
  return 0;
}
