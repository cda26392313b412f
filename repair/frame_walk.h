#pragma once
// Walks media data frame by frame. A frame counts only inside a chain of frames that follow
// each other exactly, so that bad bytes cannot pass as audio; where a chain breaks, the walk
// searches forward for the next place where one starts, and carries on.
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "aac/raw_data_block.h"
#include "exact_repair.h"

namespace quillmend::exact {

// Frames a chain needs before the walk trusts that it started on a frame.
inline constexpr int kChainFrames = 4;

struct RangeWalk {
  std::vector<FrameRef> frames;
  std::vector<Stretch> damage;  // offset and length only
};

class FrameWalker {
 public:
  FrameWalker(const std::uint8_t* data, int samplingIndex, const aac::ElementLayout& layout,
              PassedFn passed = {})
      : data_(data), samplingIndex_(samplingIndex), layout_(layout), passed_(std::move(passed)) {}

  // Walks [begin, end). `boxed`: the range is an mdat's payload, so bytes before its first
  // frame and after its last are lost audio too. `bytesDone` grows as the walk goes and
  // `stop` ends it early.
  void Walk(std::uint64_t begin, std::uint64_t end, bool boxed, RangeWalk* out,
            std::atomic<std::uint64_t>* bytesDone, const std::atomic<bool>* stop) const;

  // Walks [begin, end) on two threads when it is long enough, joining where the chains meet;
  // the result is the one a single walk gives.
  void WalkSplit(std::uint64_t begin, std::uint64_t end, bool boxed, RangeWalk* out,
                 const std::function<bool(std::uint64_t)>& progress) const;

  // Whether a chain of frames of this layout starts at `at`.
  bool ChainAt(std::uint64_t at, std::uint64_t end) const;
  // The first offset in [from, end) where a chain of frames of this layout starts, or end.
  std::uint64_t FindChain(std::uint64_t from, std::uint64_t end) const;

 private:
  bool MayStartFrame(std::uint8_t first) const;
  // Where the chain found at `start` really begins (see the definition).
  std::uint64_t TrueStart(std::uint64_t start, std::uint64_t end) const;
  aac::FrameInfo Parse(std::uint64_t at, std::uint64_t end) const;
  bool Fits(const aac::FrameInfo& info) const;
  struct State {
    std::uint64_t pos = 0;
    bool synced = false;
    std::size_t chainStart = 0;  // index of the current chain's first frame in the output
    std::uint64_t passed = pos;  // what was reported passed ends here
  };
  // Walks on from `state` until `end`, or until it stands synced at a frame start at or after
  // `pauseAt`: at once when `join` is null, else only at one that the sorted `join` holds.
  // Returns whether it stopped there.
  bool WalkOn(State& state, std::uint64_t end, std::uint64_t pauseAt,
              const std::vector<std::uint64_t>* join, RangeWalk* out,
              std::atomic<std::uint64_t>* bytesDone, const std::atomic<bool>* stop,
              const std::function<void()>& tick) const;

  const std::uint8_t* data_;
  int samplingIndex_;
  aac::ElementLayout layout_;
  PassedFn passed_;
};

// The layout of the first chain of frames in [begin, end) read with this sampling index, and
// how many frames a probe walk of up to `probeBytes` from there accepts.
struct Probe {
  bool found = false;
  aac::ElementLayout layout;
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
};
Probe ProbeFrames(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                  int samplingIndex, std::uint64_t probeBytes);

}  // namespace quillmend::exact
