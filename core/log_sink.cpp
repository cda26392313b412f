#include "log_sink.h"

#include <cstdint>

namespace quillmend {
namespace {

void AppendHex(std::string& out, unsigned value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out += "0123456789ABCDEF"[(value >> shift) & 0xF];
  }
}

}  // namespace

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      out += '<';
      AppendHex(out, byte, 2);
      out += '>';
      continue;
    }
    // U+0080 to U+009F are C2 80 to C2 9F; U+2028 and U+2029 are E2 80 A8 and E2 80 A9. Bytes
    // that are not UTF-8 pass as they are: they break no line.
    const auto next = [&](std::size_t k) {
      return i + k < text.size() ? static_cast<std::uint8_t>(text[i + k]) : 0;
    };
    unsigned code = 0;
    std::size_t length = 0;
    if (byte == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
      code = next(1), length = 2;
    } else if (byte == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
      code = 0x2000 | (next(2) - 0x80), length = 3;
    }
    if (length == 0) {
      out += text[i];
      continue;
    }
    out += "<U+";
    AppendHex(out, code, 4);
    out += '>';
    i += length - 1;
  }
  return out;
}

}  // namespace quillmend
