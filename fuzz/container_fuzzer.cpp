// The container reader over any bytes: it stays inside them, its media ranges lie inside them in
// order, every table it gives back was read from them (no count is believed beyond its
// payload), and a look at the header alone reads nothing outside the two windows it was given.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "mp4/container.h"

namespace {

using namespace quillmend;
using quillmend::fuzz::Require;

void CheckLayout(const ContainerLayout& c, std::uint64_t size) {
  std::uint64_t last = 0;
  for (const MediaRange& m : c.media) {
    Require(m.begin >= last && m.begin < m.end && m.end <= size,
            "media range outside or out of order");
    last = m.end;
  }
  // The entries of one index come from boxes that do not overlap: at least 4 bytes per chunk
  // offset, 12 per run, half a byte per size (stz2's smallest).
  std::uint64_t bytes = 0;
  for (const Track& t : c.tracks) {
    bytes += 4 * t.chunkOffsets.size() + 12 * t.chunkRuns.size() + t.sampleSizes.size() / 2;
    Require(t.uniformSampleSize == 0 || t.sampleSizes.empty(), "uniform sizes with a table");
  }
  Require(bytes <= size, "more table entries than the bytes hold");
  std::uint64_t sizes = 0;
  for (const Fragment& f : c.fragments) {
    Require(f.sampleSizes.empty() || f.sampleSizes.size() == f.sampleCount, "run sizes miscounted");
    sizes += f.sampleSizes.size();
  }
  // Sizes read from trun entries (4 bytes each) and sizes repeated from a default (no more
  // than the file's bytes).
  Require(sizes <= size + size / 4, "more fragment sizes than the bytes hold");
  Require(c.indexSource != IndexSource::kNone || c.tracks.empty(), "tracks without an index");
  Require(!c.moov || c.indexSource == IndexSource::kMoov, "a whole moov that was not read whole");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckLayout(ReadContainer(data, size), size);

  // The header look, with windows the input chooses, over a copy whose middle is poisoned:
  // AddressSanitizer reports any read of it.
  const std::uint64_t maxBytes = size == 0 ? 0 : (std::uint64_t(data[0]) * 97) % (size + 1);
  const auto copy = std::make_unique<std::uint8_t[]>(size + 1);
  if (size > 0) std::memcpy(copy.get(), data, size);
  const bool middle = 2 * maxBytes < size;
  if (middle) ASAN_POISON_MEMORY_REGION(copy.get() + maxBytes, size - 2 * maxBytes);
  const ContainerLayout header = ReadHeader(copy.get(), size, maxBytes);
  if (middle) ASAN_UNPOISON_MEMORY_REGION(copy.get() + maxBytes, size - 2 * maxBytes);
  Require(header.media.empty() && header.fragments.empty(), "the header look read media");
  CheckLayout(header, size);
  return 0;
}
