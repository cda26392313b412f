// The AAC frame parser over any bytes, at every sampling index: it stays inside the bytes given,
// a valid frame fits them, and a frame's length is its own: the same with only its bytes given,
// never valid with one byte less.
#include <cstdint>
#include <vector>

#include "aac/raw_data_block.h"
#include "fuzz_support.h"

namespace {

using namespace quillmend::aac;
using quillmend::fuzz::Require;

// A copy of exactly `size` bytes, so that AddressSanitizer sees any read past them.
FrameInfo ParseCopy(const std::uint8_t* data, std::size_t size, int index) {
  const std::vector<std::uint8_t> copy(data, data + size);
  return ParseRawDataBlock(copy.data(), copy.size(), index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (int index = 0; index < 16; ++index) {
    const FrameInfo info = ParseRawDataBlock(data, size, index);
    Require(info.bitsRead <= size * 8, "read past the bytes given");
    if (info.status != FrameStatus::kValid) continue;
    Require(info.bytes > 0 && info.bytes <= size, "a valid frame longer than its bytes");
    Require(info.layout.count > 0 && info.layout.Channels() <= 8, "a valid frame without audio");
    Require(info.firstAudioBit < info.bytes * 8, "audio that starts after the frame");
    const FrameInfo alone = ParseCopy(data, info.bytes, index);
    Require(alone.status == FrameStatus::kValid && alone.bytes == info.bytes,
            "a frame whose length depends on the bytes after it");
    Require(ParseCopy(data, info.bytes - 1, index).status != FrameStatus::kValid,
            "a frame that is also valid one byte shorter");
  }
  return 0;
}
