// The NAL unit run over any bytes, for both codecs and every length field size: it stays inside
// the bytes given, its unit ends tile it, and a run is its own: read again from exactly its
// bytes, or from its second unit on, it reads the same.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "video/nal_run.h"

namespace {

using namespace quillmend::video;
using quillmend::fuzz::Require;

// A copy of exactly `size` bytes, so that AddressSanitizer sees any read past them.
NalRun ReadCopy(const std::uint8_t* data, std::size_t size, NalCodec codec, int lengthSize) {
  const std::vector<std::uint8_t> copy(data, data + size);
  return ReadNalRun(copy.data(), copy.size(), codec, lengthSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (NalCodec codec : {NalCodec::kH264, NalCodec::kHevc}) {
    NalUnitValid(data, size, codec);
    for (int lengthSize : {1, 2, 3, 4}) {
      const NalRun run = ReadNalRun(data, size, codec, lengthSize);
      Require(run.bytes <= size, "a run longer than its bytes");
      Require(run.pictures <= run.units && (run.units > 0) == (run.bytes > 0),
              "a run's counts that do not match");
      Require(!run.hasPicture || run.units > 0, "a picture in an empty run");
      const std::vector<std::uint64_t> ends = NalRunEnds(data, size, codec, lengthSize);
      Require(ends.size() == run.units, "unit ends that do not match the run");
      std::uint64_t previous = 0;
      for (std::uint64_t end : ends) {
        Require(end > previous + static_cast<std::uint64_t>(lengthSize), "a unit without bytes");
        Require(NalUnitValid(data + previous + lengthSize, end - previous - lengthSize, codec),
                "a unit in the run that is not valid alone");
        previous = end;
      }
      if (run.units == 0) continue;
      const NalRun alone = ReadCopy(data, run.bytes, codec, lengthSize);
      Require(alone.bytes == run.bytes && alone.units == run.units &&
                  alone.pictures == run.pictures && alone.hasPicture == run.hasPicture,
              "a run that depends on the bytes after it");
      const NalRun rest = ReadNalRun(data + ends[0], size - ends[0], codec, lengthSize);
      Require(ends[0] + rest.bytes == run.bytes && rest.units + 1 == run.units,
              "a run that reads otherwise from its second unit");
    }
  }
  return 0;
}
