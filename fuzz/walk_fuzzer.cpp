// The container reader and the walk over any bytes taken as a damaged file. What the walk gives
// back must tile the file: every frame inside the bytes and inside one of the media ranges the
// container gave, the frames in file order without overlap, each damaged stretch clear of the
// others and of every frame and counting the frames before it. And walking a range in two
// halves on two threads gives what walking it once gives, wherever its middle falls.
#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "fuzz_support.h"
#include "mp4/container.h"
#include "repair/exact_repair.h"
#include "repair/find_streams.h"
#include "repair/frame_walk.h"

namespace {

using namespace quillmend;
using namespace quillmend::exact;
using quillmend::fuzz::Require;

bool InsideOneRange(const ContainerLayout& c, std::uint64_t begin, std::uint64_t end) {
  return std::any_of(c.media.begin(), c.media.end(),
                     [&](const MediaRange& m) { return m.begin <= begin && end <= m.end; });
}

void CheckTiling(const ContainerLayout& c, const WalkResult& w, std::uint64_t size) {
  std::uint64_t last = 0;
  for (const FrameRef& f : w.frames) {
    Require(f.size > 0 && f.offset <= size && f.size <= size - f.offset,
            "a frame outside the file");
    Require(InsideOneRange(c, f.offset, f.offset + f.size), "a frame outside the media ranges");
    Require(f.offset >= last, "frames overlap or are out of order");
    Require(f.stream < w.streams.size(), "a frame of a stream that was not found");
    last = f.offset + f.size;
  }
  std::vector<Stretch> damage = w.damage;
  std::sort(damage.begin(), damage.end(),
            [](const Stretch& a, const Stretch& b) { return a.offset < b.offset; });
  const auto before = [&](std::uint64_t at) {
    return std::uint64_t(
        std::lower_bound(w.frames.begin(), w.frames.end(), at,
                         [](const FrameRef& f, std::uint64_t x) { return f.offset < x; }) -
        w.frames.begin());
  };
  last = 0;
  for (const Stretch& s : damage) {
    Require(s.length > 0 && s.offset <= size && s.length <= size - s.offset,
            "a damaged stretch outside the file");
    Require(s.offset >= last, "damaged stretches overlap");
    last = s.offset + s.length;
    // The frames before the stretch, and the first one after it, end and start clear of it.
    const std::uint64_t n = before(s.offset);
    Require(n == 0 || w.frames[n - 1].offset + w.frames[n - 1].size <= s.offset,
            "a damaged stretch overlaps the frame before it");
    Require(n == w.frames.size() || w.frames[n].offset >= last,
            "a damaged stretch overlaps the frame after it");
    Require(s.framesBefore == n, "a damaged stretch miscounts the frames before it");
  }
}

using Tiles = std::vector<std::tuple<char, std::uint64_t, std::uint64_t, std::uint64_t>>;

Tiles TilesOf(const RangeWalk& walk) {
  Tiles tiles;
  for (const FrameRef& f : walk.frames) tiles.emplace_back('f', f.offset, f.size, f.stream);
  for (const Stretch& s : walk.damage) tiles.emplace_back('d', s.offset, s.length, s.framesBefore);
  for (const OtherSpan& o : walk.others) tiles.emplace_back('o', o.offset, o.length, 0);
  return tiles;
}

// The streams the walk found, walked range by range once and in two halves; the halves split
// however short the range is.
void CheckHalves(const std::uint8_t* data, const ContainerLayout& c) {
  WalkResult scratch;
  const Streams streams = FindStreams(data, c, WalkOptions{}, &scratch);
  if (streams.found.empty()) return;
  std::vector<const FrameSyntax*> syntaxes;
  for (const FoundStream& s : streams.found) syntaxes.push_back(s.syntax.get());
  std::vector<const OtherSamples*> others;
  for (const auto& o : streams.others) others.push_back(o.get());
  const FrameWalker walker(data, syntaxes, others);
  for (const MediaRange& m : c.media) {
    RangeWalk once, halves;
    walker.Walk(m.begin, m.end, m.boxed, &once);
    walker.WalkSplit(m.begin, m.end, m.boxed, &halves, {}, 0);
    Require(TilesOf(once) == TilesOf(halves), "two halves walk otherwise than one walk");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ContainerLayout container = ReadContainer(data, size);
  WalkResult result;
  Walk(data, size, WalkOptions{}, &result);
  CheckTiling(container, result, size);
  // Without a stream found there is nothing to walk, and finding none costs the most.
  if (!result.streams.empty()) CheckHalves(data, container);
  return 0;
}
