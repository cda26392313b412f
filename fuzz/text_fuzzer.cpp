// The text conversions of paths and the splitting of the transcoder's command line, checked
// against each other: well-formed text survives a round trip in both directions, arguments
// quoted as the Windows C runtime reads them split back into the same arguments, and paths the
// transcoder accepts reach it unchanged.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "io/command_line.h"
#include "convert/transcoder.h"
#include "fuzz_support.h"
#include "io/utf8.h"

namespace {

using namespace quillmend;
using fuzz::Require;

bool ToWide(std::string_view text, std::u16string& wide) {
  try {
    wide = Utf8ToWide(text);
    return true;
  } catch (const std::range_error&) {
    return false;
  }
}

void CheckConversions(std::string_view bytes) {
  std::u16string wide;
  if (ToWide(bytes, wide)) {
    std::string back;
    try {
      back = WideToUtf8(wide);
    } catch (const std::range_error&) {
      fuzz::Fail("accepted UTF-8 that does not convert back");
    }
    Require(back == bytes, "UTF-8 that does not survive the round trip");
  }

  // The same bytes as UTF-16LE units: well-formed ones must come back unchanged.
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                          static_cast<std::uint8_t>(bytes[i + 1]) << 8));
  }
  std::string utf8;
  try {
    utf8 = WideToUtf8(units);
  } catch (const std::range_error&) {
    return;
  }
  std::u16string again;
  Require(ToWide(utf8, again), "UTF-8 made from UTF-16 that does not convert back");
  Require(again == units, "UTF-16 that does not survive the round trip");
}

void CheckSplitting(std::string_view bytes) {
  // Whatever the text, splitting it ends and yields arguments.
  std::u16string raw(bytes.begin(), bytes.end());
  SplitCommandLine(raw);

  // Arguments separated by NUL bytes, each byte one unit.
  std::vector<std::u16string> arguments(1);
  for (char byte : bytes) {
    if (byte == '\0') {
      arguments.emplace_back();
    } else {
      arguments.back().push_back(static_cast<std::uint8_t>(byte));
    }
  }
  Require(SplitCommandLine(JoinCommandLine(arguments)) == arguments,
          "quoted arguments that do not split back");
}

void CheckTranscoderParameters(std::string_view bytes) {
  const std::size_t nul = bytes.find('\0');
  if (nul == std::string_view::npos) return;
  const std::string_view pcmPath = bytes.substr(0, nul);
  const std::string_view outputPath = bytes.substr(nul + 1);
  std::u16string pcmWide, outputWide;
  if (outputPath.find('\0') != std::string_view::npos || !ToWide(pcmPath, pcmWide) ||
      !ToWide(outputPath, outputWide) || !CanQuoteForTranscoder(pcmPath) ||
      !CanQuoteForTranscoder(outputPath)) {
    return;
  }
  std::u16string parameters;
  Require(ToWide(BuildTranscoderParameters(48000, 1, pcmPath, outputPath), parameters),
          "parameters of two UTF-8 paths that are not UTF-8");
  const std::vector<std::u16string> expected{u"-f",  u"s16le", u"-ar",  u"48000",  u"-ac",
                                             u"2",   u"-y",    u"-i",   pcmWide,   u"-c:a",
                                             u"aac", u"-b:a",  u"128k", outputWide};
  Require(SplitCommandLine(parameters) == expected,
          "an accepted path that does not reach the transcoder unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckConversions(bytes);
  CheckSplitting(bytes);
  CheckTranscoderParameters(bytes);
  return 0;
}
