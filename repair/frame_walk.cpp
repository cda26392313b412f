#include "frame_walk.h"

#include <algorithm>
#include <thread>

namespace quillmend::exact {
namespace {

// The walk reports how far it got in steps of this many bytes.
constexpr std::uint64_t kReportStep = std::uint64_t{1} << 20;
// How far behind its position a walk may still read: it steps back over the last frame taken
// when a chain breaks, and frames are at most a few tens of kilobytes.
constexpr std::uint64_t kReadBehind = std::uint64_t{256} << 10;

void AddDamage(RangeWalk* out, std::uint64_t from, std::uint64_t to) {
  if (to <= from) return;
  if (!out->damage.empty() && out->damage.back().offset + out->damage.back().length == from &&
      out->damage.back().framesBefore == out->frames.size()) {
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
    out->others.clear();
    return;
  }
  const std::uint64_t first = out->frames.front().offset;
  const std::uint64_t last = out->frames.back().offset + out->frames.back().size;
  std::erase_if(out->damage,
                [&](const Stretch& s) { return s.offset < first || s.offset >= last; });
}

bool Valid(const FrameRead& read) { return read.status == FrameStatus::kValid; }

}  // namespace

FrameWalker::FrameWalker(const std::uint8_t* data, std::vector<const FrameSyntax*> streams,
                         std::vector<const OtherSamples*> others, PassedFn passed)
    : data_(data),
      streams_(std::move(streams)),
      others_(std::move(others)),
      passed_(std::move(passed)) {}

FrameRead FrameWalker::ReadAs(int stream, std::uint64_t at, std::uint64_t end) const {
  return streams_[std::size_t(stream)]->Read(data_ + at, end - at);
}

bool FrameWalker::MayStart(std::uint8_t first) const {
  for (const FrameSyntax* s : streams_) {
    if (s->MayStart(first)) return true;
  }
  return false;
}

FrameWalker::Item FrameWalker::ReadItem(std::uint64_t at, std::uint64_t end, int prefer) const {
  Item item;
  const int count = int(streams_.size());
  const int first = prefer >= 0 && prefer < count ? prefer : 0;
  for (int k = 0; k < count; ++k) {
    const int s = (first + k) % count;
    const FrameRead read = ReadAs(s, at, end);
    if (k == 0) item.read = read;
    if (streams_[std::size_t(s)]->Fits(read)) {
      item.read = read;
      item.stream = s;
      return item;
    }
  }
  for (const OtherSamples* o : others_) {
    item.other = o->RunAt(data_ + at, end - at);
    if (item.other == 0) continue;
    if (at + item.other == end || FitsAudio(at + item.other, end)) return item;
    // What follows read as more of the run: it ends where a frame fits behind one of its units.
    const std::vector<std::uint64_t> ends = o->RunEnds(data_ + at, end - at);
    for (auto e = ends.rbegin(); e != ends.rend(); ++e) {
      if (FitsAudio(at + *e, end)) {
        item.other = *e;
        return item;
      }
    }
    return item;
  }
  return item;
}

bool FrameWalker::FitsAudio(std::uint64_t at, std::uint64_t end) const {
  if (at >= end) return false;
  for (const FrameSyntax* s : streams_) {
    if (s->MayStart(data_[at]) && s->Fits(s->Read(data_ + at, end - at))) return true;
  }
  return false;
}

std::uint64_t FrameWalker::FindChain(std::uint64_t from, std::uint64_t end) const {
  for (std::uint64_t s = from; s < end; ++s) {
    if (MayStart(data_[s]) && ChainAt(s, end)) return s;
  }
  return end;
}

bool FrameWalker::ChainAt(std::uint64_t at, std::uint64_t end) const {
  int links = 0;
  int prefer = -1;
  while (links < kChainLinks && at < end) {
    const Item item = ReadItem(at, end, prefer);
    if (item.stream >= 0) {
      links += 1;
      at += item.read.bytes;
      prefer = item.stream;
    } else if (item.other != 0 && links > 0) {
      links += 2;
      at += item.other;
    } else {
      return false;
    }
  }
  // A chain that runs to the end of the data is as good as a long one: it cannot go on.
  return links >= kChainLinks || (links > 0 && at == end);
}

std::uint64_t FrameWalker::TrueStart(std::uint64_t start, std::uint64_t end) const {
  if (start >= end) return start;
  // A chain found after damage may start with a frame made of damaged bytes whose reading fell
  // into step with the audio behind them and ended where a real frame ends. The real frame, if
  // it survived, starts inside the first one and ends with it: the last such frame that the
  // next one follows on from is taken, then the first frame itself if the next follows it, else
  // the next one.
  const Item first = ReadItem(start, end, -1);
  if (first.stream < 0) return start;
  const FrameSyntax& syntax = *streams_[std::size_t(first.stream)];
  const std::uint64_t boundary = start + first.read.bytes;
  if (boundary >= end) return start;
  const Item next = ReadItem(boundary, end, first.stream);
  const auto follows = [&](const FrameRead& read) {
    return next.stream < 0 || syntax.Follows(read, next.read);
  };
  for (std::uint64_t t = boundary - 1; t > start; --t) {
    if (!syntax.MayStart(data_[t])) continue;
    const FrameRead inner = ReadAs(first.stream, t, end);
    if (syntax.Fits(inner) && t + inner.bytes == boundary && follows(inner)) return t;
  }
  return follows(first.read) ? start : boundary;
}

void FrameWalker::GiveUp(std::uint64_t from, std::uint64_t to, RangeWalk* out) const {
  // A stretch that begins with another track's samples begins with no damage.
  while (from < to && !others_.empty()) {
    std::uint64_t run = 0;
    for (const OtherSamples* o : others_) {
      run = o->RunAt(data_ + from, to - from);
      if (run != 0) break;
    }
    if (run == 0) break;
    out->others.push_back({from, run});
    from += run;
  }
  AddDamage(out, from, to);
}

void FrameWalker::Walk(std::uint64_t begin, std::uint64_t end, bool boxed, RangeWalk* out,
                       std::atomic<std::uint64_t>* bytesDone, const std::atomic<bool>* stop) const {
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
  bool& lastWasFrame = state.lastWasFrame;
  while (pos < end) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) return finish(false);
    if (!state.synced) {
      std::uint64_t start = FindChain(pos, end);
      if (start != pos) start = TrueStart(start, end);
      GiveUp(pos, start, out);
      pos = start;
      if (pos >= end) break;
      state.synced = true;
      state.chainStart = out->frames.size();
      lastWasFrame = false;
    }
    if (pos >= pauseAt &&
        (join == nullptr || std::binary_search(join->begin(), join->end(), pos))) {
      return finish(true);
    }
    const Item item = ReadItem(pos, end, state.stream);
    if (item.stream >= 0) {
      out->frames.push_back({pos, item.read.bytes, std::uint8_t(item.stream)});
      state.stream = item.stream;
      pos += item.read.bytes;
      lastWasFrame = true;
      report(pos);
      continue;
    }
    if (item.other != 0) {
      out->others.push_back({pos, item.other});
      pos += item.other;
      lastWasFrame = false;
      report(pos);
      continue;
    }
    if (item.read.status == FrameStatus::kTruncated) {
      // The data ends inside this frame: the recording was cut here.
      AddDamage(out, pos, end);
      pos = end;
      break;
    }
    // The chain broke at pos. Either the next frame is damaged, or the last frame taken was,
    // and its wrong length led here. A frame that really starts here reads some way as the
    // stream's frames begin before the damage stops it; random bytes rarely do.
    state.synced = false;
    const FrameSyntax& syntax = *streams_[std::size_t(state.stream)];
    bool intactStart = syntax.IntactStart(data_ + pos, item.read);
    const std::size_t taken = out->frames.size() - state.chainStart;
    if (intactStart && taken >= 2 && lastWasFrame) {
      const FrameRef& tail = out->frames.back();
      const FrameRef& before = out->frames[out->frames.size() - 2];
      intactStart =
          tail.stream != before.stream || syntax.Follows(ReadAs(before.stream, before.offset, end),
                                                         ReadAs(tail.stream, tail.offset, end));
    }
    if (taken > 0 && lastWasFrame && !intactStart) {
      pos = out->frames.back().offset;
      out->frames.pop_back();
    }
    const std::uint64_t next = TrueStart(FindChain(pos + 1, end), end);
    GiveUp(pos, next, out);
    pos = next;
  }
  return finish(false);
}

void FrameWalker::WalkSplit(std::uint64_t begin, std::uint64_t end, bool boxed, RangeWalk* out,
                            const std::function<bool(std::uint64_t)>& progress,
                            std::uint64_t splitMinimum) const {
  std::atomic<std::uint64_t> done{0};
  std::atomic<bool> stop{false};
  const auto tick = [&] {
    if (progress && progress(done.load())) stop = true;
  };
  if (end - begin < splitMinimum || std::thread::hardware_concurrency() < 2) {
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
        s.framesBefore =
            before + static_cast<std::size_t>(
                         std::lower_bound(from, second.frames.end(), s.offset, byOffset) - from);
        out->damage.push_back(s);
      }
      for (const OtherSpan& o : second.others) {
        if (o.offset >= state.pos) out->others.push_back(o);
      }
      out->frames.insert(out->frames.end(), from, second.frames.end());
    }
  }
  tick();
  if (!boxed) TrimUnboxed(out);
}

Probe ProbeFrames(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                  const FrameSyntax& syntax, std::uint64_t probeBytes,
                  const std::vector<const OtherSamples*>& others) {
  Probe probe;
  // An unbound syntax takes a chain whose frames all have the shape of its first. A syntax
  // whose parameters do not fit the stream finds none: the search stops after probeBytes.
  const std::uint64_t searchEnd = std::min(end, begin + probeBytes);
  for (std::uint64_t s = begin; s < searchEnd; ++s) {
    if (!syntax.MayStart(data[s])) continue;
    const FrameRead first = syntax.Read(data + s, end - s);
    if (!Valid(first) || !syntax.Fits(first)) continue;
    std::unique_ptr<FrameSyntax> bound = syntax.BindTo(first);
    const FrameWalker walker(data, {bound.get()}, others);
    if (!walker.ChainAt(s, end)) continue;
    RangeWalk walk;
    walker.Walk(s, std::min(end, s + probeBytes), true, &walk);
    probe.found = true;
    probe.syntax = std::move(bound);
    probe.at = s;
    probe.frames = walk.frames.size();
    for (const FrameRef& f : walk.frames) probe.bytes += f.size;
    probe.breaks = walk.damage.size();
    probe.others = walk.others.size();
    return probe;
  }
  return probe;
}

}  // namespace quillmend::exact
