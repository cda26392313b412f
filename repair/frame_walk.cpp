#include "frame_walk.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace quillmend::exact {
namespace {

// The walk reports how far it got in steps of this many bytes.
constexpr std::uint64_t kReportStep = std::uint64_t{1} << 20;
// How far behind its position a walk may still read: it steps back over the last frame taken
// when a chain breaks, and frames are at most a few kilobytes.
constexpr std::uint64_t kReadBehind = std::uint64_t{64} << 10;
// Ranges shorter than this are not worth a second thread.
constexpr std::uint64_t kSplitMinimum = std::uint64_t{1} << 20;
// A frame cut by damage reads some way before it breaks; random bytes rarely get this far.
constexpr std::uint32_t kIntactStartBits = 64;
// Encoders move a frame's global gain by less than this from one frame to the next in all but a
// few per cent of frames; a frame made of damaged bytes has a gain anywhere in 0 to 255.
constexpr int kGainJump = 48;

bool GainsFollow(const aac::FrameInfo& a, const aac::FrameInfo& b) {
  return a.globalGain < 0 || b.globalGain < 0 || std::abs(a.globalGain - b.globalGain) <= kGainJump;
}

void AddDamage(RangeWalk* out, std::uint64_t from, std::uint64_t to) {
  if (to <= from) return;
  if (!out->damage.empty() && out->damage.back().offset + out->damage.back().length == from) {
    out->damage.back().length += to - from;
    return;
  }
  Stretch s;
  s.offset = from;
  s.length = to - from;
  s.framesBefore = out->frames.size();
  out->damage.push_back(s);
}

// A range no box claims keeps only the damage between its frames.
void TrimUnboxed(RangeWalk* out) {
  if (out->frames.empty()) {
    out->damage.clear();
    return;
  }
  const std::uint64_t first = out->frames.front().offset;
  const std::uint64_t last = out->frames.back().offset + out->frames.back().size;
  std::erase_if(out->damage, [&](const Stretch& s) { return s.offset < first || s.offset >= last; });
}

}  // namespace

bool FrameWalker::MayStartFrame(std::uint8_t first) const {
  // A frame starts with the stream's first audio element, id and instance tag: seven bits that
  // one offset in 128 of random bytes passes. Some encoders put a fill or data element first
  // now and then (FFmpeg's names itself in its first frame's fill element).
  const int id = first >> 5;
  return (layout_.count > 0 && (first >> 1) == layout_.elements[0]) || id == aac::kFil ||
         id == aac::kDse;
}

aac::FrameInfo FrameWalker::Parse(std::uint64_t at, std::uint64_t end) const {
  return aac::ParseRawDataBlock(data_ + at, end - at, samplingIndex_);
}

bool FrameWalker::Fits(const aac::FrameInfo& info) const {
  return info.status == aac::FrameStatus::kValid && info.layout == layout_;
}

std::uint64_t FrameWalker::FindChain(std::uint64_t from, std::uint64_t end) const {
  for (std::uint64_t s = from; s < end; ++s) {
    if (MayStartFrame(data_[s]) && ChainAt(s, end)) return s;
  }
  return end;
}

std::uint64_t FrameWalker::TrueStart(std::uint64_t start, std::uint64_t end) const {
  if (start >= end) return start;
  // A chain found after damage may start with a frame made of damaged bytes whose reading fell
  // into step with the audio behind them and ended where a real frame ends. The real frame, if
  // it survived, starts inside the first one and ends with it: the last such frame whose gain
  // follows on is taken, then the first frame itself if its gain does, else the next one.
  const aac::FrameInfo first = Parse(start, end);
  const std::uint64_t boundary = start + first.bytes;
  if (boundary >= end) return start;
  const aac::FrameInfo next = Parse(boundary, end);
  for (std::uint64_t t = boundary - 1; t > start; --t) {
    if (!MayStartFrame(data_[t])) continue;
    const aac::FrameInfo inner = Parse(t, end);
    if (Fits(inner) && t + inner.bytes == boundary && GainsFollow(inner, next)) return t;
  }
  return GainsFollow(first, next) ? start : boundary;
}

bool FrameWalker::ChainAt(std::uint64_t at, std::uint64_t end) const {
  int chain = 0;
  for (; chain < kChainFrames && at < end; ++chain) {
    const aac::FrameInfo info = Parse(at, end);
    if (!Fits(info)) return false;
    at += info.bytes;
  }
  // A chain that runs to the end of the data is as good as a long one: it cannot go on.
  return chain == kChainFrames || at == end;
}

void FrameWalker::Walk(std::uint64_t begin, std::uint64_t end, bool boxed, RangeWalk* out,
                       std::atomic<std::uint64_t>* bytesDone,
                       const std::atomic<bool>* stop) const {
  State state{begin, false, out->frames.size()};
  WalkOn(state, end, end, nullptr, out, bytesDone, stop, {});
  if (!boxed) TrimUnboxed(out);
}

bool FrameWalker::WalkOn(State& state, std::uint64_t end, std::uint64_t pauseAt,
                         const std::vector<std::uint64_t>* join, RangeWalk* out,
                         std::atomic<std::uint64_t>* bytesDone, const std::atomic<bool>* stop,
                         const std::function<void()>& tick) const {
  std::uint64_t& pos = state.pos;
  std::uint64_t reported = pos;
  const auto report = [&](std::uint64_t at) {
    if (at >= reported + kReportStep) {
      if (bytesDone != nullptr) *bytesDone += at - reported;
      reported = at;
      if (passed_ && at > state.passed + kReadBehind) {
        passed_(state.passed, at - kReadBehind);
        state.passed = at - kReadBehind;
      }
      if (tick) tick();
    }
  };
  const auto finish = [&](bool paused) {
    if (bytesDone != nullptr && pos > reported) *bytesDone += std::min(pos, end) - reported;
    return paused;
  };
  while (pos < end) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) return finish(false);
    if (!state.synced) {
      std::uint64_t start = FindChain(pos, end);
      if (start != pos) start = TrueStart(start, end);
      AddDamage(out, pos, start);
      pos = start;
      if (pos >= end) break;
      state.synced = true;
      state.chainStart = out->frames.size();
    }
    if (pos >= pauseAt &&
        (join == nullptr || std::binary_search(join->begin(), join->end(), pos))) {
      return finish(true);
    }
    const aac::FrameInfo info = Parse(pos, end);
    if (Fits(info)) {
      out->frames.push_back({pos, info.bytes});
      pos += info.bytes;
      report(pos);
      continue;
    }
    if (info.status == aac::FrameStatus::kTruncated) {
      // The data ends inside this frame: the recording was cut here.
      AddDamage(out, pos, end);
      pos = end;
      break;
    }
    // The chain broke at pos. Either the next frame is damaged, or the last frame taken was,
    // and its wrong length led here. A frame that really starts here reads some way with the
    // stream's first element before the damage stops it; random bytes rarely do.
    state.synced = false;
    bool intactStart = info.bitsRead >= kIntactStartBits && layout_.count > 0 &&
                       (data_[pos] >> 1) == layout_.elements[0];
    const std::size_t taken = out->frames.size() - state.chainStart;
    if (intactStart && taken >= 2) {
      const FrameRef& tail = out->frames.back();
      const FrameRef& before = out->frames[out->frames.size() - 2];
      intactStart = GainsFollow(Parse(before.offset, end), Parse(tail.offset, end));
    }
    if (taken > 0 && !intactStart) {
      pos = out->frames.back().offset;
      out->frames.pop_back();
    }
    const std::uint64_t next = TrueStart(FindChain(pos + 1, end), end);
    AddDamage(out, pos, next);
    pos = next;
  }
  return finish(false);
}

void FrameWalker::WalkSplit(std::uint64_t begin, std::uint64_t end, bool boxed, RangeWalk* out,
                            const std::function<bool(std::uint64_t)>& progress) const {
  std::atomic<std::uint64_t> done{0};
  std::atomic<bool> stop{false};
  const auto tick = [&] {
    if (progress && progress(done.load())) stop = true;
  };
  if (end - begin < kSplitMinimum || std::thread::hardware_concurrency() < 2) {
    State state{begin, false, out->frames.size()};
    WalkOn(state, end, end, nullptr, out, &done, &stop, tick);
    if (!boxed) TrimUnboxed(out);
    return;
  }
  // The second half is walked from its middle: it finds its own first chain, which the first
  // half's walk reaches too (directly, or by re-syncing through damage), and the two join at
  // the first frame start they share. From there on both walks are the same walk.
  const std::uint64_t middle = begin + (end - begin) / 2;
  RangeWalk second;
  std::thread worker([&] {
    State state{middle, false, 0};
    WalkOn(state, end, end, nullptr, &second, &done, &stop, {});
  });
  State state{begin, false, out->frames.size()};
  const bool paused = WalkOn(state, end, middle, nullptr, out, &done, &stop, tick);
  worker.join();
  if (stop) return;
  if (paused) {
    std::vector<std::uint64_t> starts;
    starts.reserve(second.frames.size());
    for (const FrameRef& f : second.frames) starts.push_back(f.offset);
    if (WalkOn(state, end, middle, &starts, out, nullptr, &stop, {})) {
      const auto byOffset = [](const FrameRef& f, std::uint64_t at) { return f.offset < at; };
      const auto from =
          std::lower_bound(second.frames.begin(), second.frames.end(), state.pos, byOffset);
      const std::size_t before = out->frames.size();
      for (Stretch s : second.damage) {
        if (s.offset < state.pos) continue;
        s.framesBefore = before + static_cast<std::size_t>(
                                      std::lower_bound(from, second.frames.end(), s.offset,
                                                       byOffset) -
                                      from);
        out->damage.push_back(s);
      }
      out->frames.insert(out->frames.end(), from, second.frames.end());
    }
  }
  tick();
  if (!boxed) TrimUnboxed(out);
}

Probe ProbeFrames(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                  int samplingIndex, std::uint64_t probeBytes) {
  Probe probe;
  // Without a layout, a chain is one whose frames all read with the layout of its first. A
  // rate whose band tables do not fit finds none: the search stops after probeBytes.
  const std::uint64_t searchEnd = std::min(end, begin + probeBytes);
  for (std::uint64_t s = begin; s < searchEnd; ++s) {
    const std::uint8_t id = data[s] >> 5;
    if (id != aac::kSce && id != aac::kCpe && id != aac::kFil && id != aac::kDse) continue;
    const aac::FrameInfo first = aac::ParseRawDataBlock(data + s, end - s, samplingIndex);
    if (first.status != aac::FrameStatus::kValid || first.layout.count == 0) continue;
    FrameWalker walker(data, samplingIndex, first.layout);
    if (!walker.ChainAt(s, end)) continue;
    probe.found = true;
    probe.layout = first.layout;
    RangeWalk walk;
    const std::uint64_t stopAt = std::min(end, s + probeBytes);
    walker.Walk(s, stopAt, true, &walk, nullptr, nullptr);
    probe.frames = walk.frames.size();
    for (const FrameRef& f : walk.frames) probe.bytes += f.size;
    return probe;
  }
  return probe;
}

}  // namespace quillmend::exact
