#pragma once
// Walks media data frame by frame, whatever the codec. A frame counts only inside a chain of
// frames that follow each other exactly, so that bad bytes cannot pass as audio; where a chain
// breaks, the walk searches forward for the next place where one starts, and carries on. Another
// track's samples that lie between the audio frames (a video's pictures) are stepped over: they
// are links of a chain too, but neither audio nor damage.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/frame_syntax.h"

namespace quillmend::exact {

// Links a chain needs before the walk trusts that it started on a frame: an audio frame counts
// one, a run of another track's samples two (its units tile it exactly, which bytes that never
// were a sample rarely do over kilobytes).
inline constexpr int kChainLinks = 4;

struct FrameRef {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  std::uint8_t stream = 0;  // which of the walk's audio streams it belongs to
};

// A stretch of the media data given up: no frame chain could be read through it.
struct Stretch {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t framesBefore = 0;     // frames kept before it
  std::uint32_t estimatedFrames = 0;  // frames it probably held
};

// Bytes of another track stepped over.
struct OtherSpan {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Another track's samples, recognised by their own structure.
class OtherSamples {
 public:
  virtual ~OtherSamples() = default;
  // The length of the run of this track's samples that starts at data[0], within size bytes;
  // 0 when none starts there.
  virtual std::uint64_t RunAt(const std::uint8_t* data, std::uint64_t size) const = 0;
  // The places inside that run where it may really end, shortest first, its length last: what
  // follows a run may read as more of it, and the walk backs off to where a frame fits.
  virtual std::vector<std::uint64_t> RunEnds(const std::uint8_t* data, std::uint64_t size) const {
    const std::uint64_t run = RunAt(data, size);
    return run != 0 ? std::vector<std::uint64_t>{run} : std::vector<std::uint64_t>{};
  }
};

struct RangeWalk {
  std::vector<FrameRef> frames;
  std::vector<Stretch> damage;  // offset, length and framesBefore
  std::vector<OtherSpan> others;
};

// Told that a walk or a write will not read the bytes in [begin, end) again, so that a mapped
// file's pages can leave resident memory behind it.
using PassedFn = std::function<void(std::uint64_t begin, std::uint64_t end)>;

class FrameWalker {
 public:
  // `streams`: the audio streams' bound syntaxes, at least one; `others`: the other tracks'
  // recognisers. The walker keeps the pointers; they must outlive it.
  FrameWalker(const std::uint8_t* data, std::vector<const FrameSyntax*> streams,
              std::vector<const OtherSamples*> others = {}, PassedFn passed = {});

  // Walks [begin, end). `boxed`: the range is an mdat's payload, so bytes before its first
  // frame and after its last are lost audio too. `bytesDone` grows as the walk goes and
  // `stop` ends it early.
  void Walk(std::uint64_t begin, std::uint64_t end, bool boxed, RangeWalk* out,
            std::atomic<std::uint64_t>* bytesDone = nullptr,
            const std::atomic<bool>* stop = nullptr) const;

  // Walks [begin, end) on two threads when it is long enough, joining where the chains meet;
  // the result is the one a single walk gives. `progress` gets the bytes done and returns true
  // to stop. Ranges shorter than `splitMinimum` are not worth a second thread; tests lower it
  // to split short ones.
  void WalkSplit(std::uint64_t begin, std::uint64_t end, bool boxed, RangeWalk* out,
                 const std::function<bool(std::uint64_t)>& progress,
                 std::uint64_t splitMinimum = std::uint64_t{1} << 20) const;

  // Whether a chain starts at `at`.
  bool ChainAt(std::uint64_t at, std::uint64_t end) const;
  // The first offset in [from, end) where a chain starts, or end.
  std::uint64_t FindChain(std::uint64_t from, std::uint64_t end) const;

 private:
  struct Item {
    FrameRead read;
    int stream = -1;          // the audio stream it fits, or -1
    std::uint64_t other = 0;  // else the length of another track's run there, or 0
  };
  // What starts at `at`: an audio frame of one of the streams (the one of `prefer` first), or
  // another track's run.
  Item ReadItem(std::uint64_t at, std::uint64_t end, int prefer) const;
  FrameRead ReadAs(int stream, std::uint64_t at, std::uint64_t end) const;
  // Whether a frame of any of the streams fits at `at`.
  bool FitsAudio(std::uint64_t at, std::uint64_t end) const;
  bool MayStart(std::uint8_t first) const;
  // Where the chain found at `start` really begins (see the definition).
  std::uint64_t TrueStart(std::uint64_t start, std::uint64_t end) const;
  // Records [from, to) as given up, after stepping over other tracks' runs at its start.
  void GiveUp(std::uint64_t from, std::uint64_t to, RangeWalk* out) const;
  struct State {
    std::uint64_t pos = 0;
    bool synced = false;
    std::size_t chainStart = 0;  // index of the current chain's first frame in the output
    int stream = 0;              // the stream of the last frame taken
    std::uint64_t passed = pos;  // what was reported passed ends here
    // The walk stands right behind a frame it took, which it steps back over when the chain
    // breaks here. A walk paused and resumed must remember it.
    bool lastWasFrame = false;
  };
  // Walks on from `state` until `end`, or until it stands synced at a frame start at or after
  // `pauseAt`: at once when `join` is null, else only at one that the sorted `join` holds.
  // Returns whether it stopped there.
  bool WalkOn(State& state, std::uint64_t end, std::uint64_t pauseAt,
              const std::vector<std::uint64_t>* join, RangeWalk* out,
              std::atomic<std::uint64_t>* bytesDone, const std::atomic<bool>* stop,
              const std::function<void()>& tick) const;

  const std::uint8_t* data_;
  std::vector<const FrameSyntax*> streams_;
  std::vector<const OtherSamples*> others_;
  PassedFn passed_;
};

// The first chain in [begin, end) of frames that all fit `syntax` (bound or not), and how many
// frames a walk of up to `probeBytes` from there accepts.
struct Probe {
  bool found = false;
  std::unique_ptr<FrameSyntax> syntax;  // bound to the chain's shape
  std::uint64_t at = 0;                 // where the chain starts
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t breaks = 0;  // damaged stretches the probe walk met
  std::uint64_t others = 0;  // runs of another track's samples it stepped over
};
Probe ProbeFrames(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                  const FrameSyntax& syntax, std::uint64_t probeBytes,
                  const std::vector<const OtherSamples*>& others = {});

}  // namespace quillmend::exact
