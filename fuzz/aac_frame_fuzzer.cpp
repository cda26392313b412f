// The AAC frame parser over any bytes, at every sampling index and for each object type: it stays
// inside the bytes given, a valid frame fits them, and a frame's length and what it carries are
// its own: the same with only its bytes given, never valid with one byte less. A frame without
// prediction data reads the same for every object type, as Main and LTP only add tools to LC.
#include <cstdint>
#include <vector>

#include "aac/raw_data_block.h"
#include "fuzz_support.h"

namespace {

using namespace quillmend::aac;
using quillmend::fuzz::Require;

// A copy of exactly `size` bytes, so that AddressSanitizer sees any read past them.
FrameInfo ParseCopy(const std::uint8_t* data, std::size_t size, int index, ObjectType type) {
  const std::vector<std::uint8_t> copy(data, data + size);
  return ParseRawDataBlock(copy.data(), copy.size(), index, type);
}

bool SameFrame(const FrameInfo& a, const FrameInfo& b) {
  return a.status == b.status && a.bytes == b.bytes && a.layout == b.layout &&
         a.hasSbr == b.hasSbr && a.hasSbrHeader == b.hasSbrHeader && a.hasPs == b.hasPs &&
         a.hasPrediction == b.hasPrediction && a.hasLtp == b.hasLtp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (int index = 0; index < 16; ++index) {
    FrameInfo lc;
    for (const ObjectType type : {kLc, kMain, kLtp}) {
      const FrameInfo info = ParseRawDataBlock(data, size, index, type);
      if (type == kLc) lc = info;
      Require(info.bitsRead <= size * 8, "read past the bytes given");
      Require(!info.hasPs || info.hasSbrHeader, "parametric stereo found without an SBR header");
      Require(type == kMain || !info.hasPrediction, "prediction outside AAC Main");
      Require(type == kLtp || !info.hasLtp, "long-term prediction outside AAC LTP");
      if (lc.status == FrameStatus::kValid) {
        Require(SameFrame(info, lc), "an LC frame that reads otherwise for another object type");
      }
      if (info.status != FrameStatus::kValid) continue;
      Require(info.bytes > 0 && info.bytes <= size, "a valid frame longer than its bytes");
      Require(info.layout.count > 0 && info.layout.Channels() <= 8, "a valid frame without audio");
      Require(SameFrame(ParseCopy(data, info.bytes, index, type), info),
              "a frame whose length or content depends on the bytes after it");
      Require(ParseCopy(data, info.bytes - 1, index, type).status != FrameStatus::kValid,
              "a frame that is also valid one byte shorter");
    }
  }
  return 0;
}
