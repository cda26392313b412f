// The prepare stage of the advanced repair over any bytes given as the sample file: the file
// type, the three sample tables and the frame-head profile learned from them.
#include <array>
#include <cstdint>

#include "fuzz_support.h"
#include "core/repair_context.h"
#include "repair/stages.h"

namespace {

using namespace quillmend;
using fuzz::Require;

// Every two-byte value that occurs somewhere in the bytes: a learned head must be one of them,
// since the walk only reads sample heads that lie inside the file.
class PairTable {
 public:
  PairTable(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i + 1 < size; ++i) {
      const unsigned pair = data[i] << 8 | data[i + 1];
      bits_[pair >> 6] |= std::uint64_t{1} << (pair & 63);
    }
  }
  bool Contains(std::uint16_t pair) const { return (bits_[pair >> 6] >> (pair & 63)) & 1; }

 private:
  std::array<std::uint64_t, 1024> bits_{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::OpenQuietLog();
  const std::string sample = fuzz::Scratch().Write("sample.m4a", data, size);
  {
    RepairContext context;
    if (!fuzz::MapFuzzInput(context, sample, size)) return 0;
    const ResultCode prepared = PrepareSampleFile(context);
    Require(prepared == kOk || prepared == kNotM4a || prepared == kNoSampleTable,
            "an undocumented prepare result");
    if (prepared == kOk) {
      Require(!context.chunkOffsets && !context.samplesPerChunk && !context.sampleSizes,
              "sample tables kept after the profile was learned");
      Require(context.frameHeads != nullptr, "no profile after a successful prepare stage");
      const PairTable pairs(data, size);
      for (std::uint16_t head : *context.frameHeads) {
        Require((head & 0xFF) != 0, "a learned head with a zero second byte");
        Require(pairs.Contains(head), "a learned head that occurs nowhere in the file");
      }
    }
  }
  fuzz::RequireUnchanged(sample, data, size);
  return 0;
}
