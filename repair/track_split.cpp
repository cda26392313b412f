#include "track_split.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "mp4/four_cc.h"

namespace quillmend::exact {
namespace {

// Frames a phase is judged on after damage: enough to cross a few chunk boundaries.
constexpr std::size_t kJudgedFrames = 96;
// Frames of each track before a break that say what the track was like.
constexpr std::size_t kRecentFrames = 8;
// Frames the interleave test reads.
constexpr std::size_t kTestedFrames = 4096;
// Fewer frames than this tell nothing of how they are laid.
constexpr std::size_t kLeastFrames = 64;
// Two tracks laid frame by frame in turn: neighbours move this far apart on average, and this
// many times further than frames two apart. One track's frames move alike either way.
constexpr double kTurnJump = 6;
constexpr double kTurnRatio = 3;

struct Feature {
  double level;  // the codec's level (AAC: global gain), or 0
  double size;
};

std::vector<Feature> Features(const std::uint8_t* data, const FrameSyntax& syntax,
                              const std::vector<FrameRef>& frames, std::size_t from,
                              std::size_t count) {
  std::vector<Feature> out;
  for (std::size_t i = from; i < frames.size() && out.size() < count; ++i) {
    const FrameRead read = syntax.Read(data + frames[i].offset, frames[i].size);
    out.push_back({read.level < 0 ? 0.0 : double(read.level), double(frames[i].size)});
  }
  return out;
}

// How far apart two frames are as frames of one stream: levels in the codec's steps, sizes in
// tenths of the mean size.
double Distance(const Feature& a, const Feature& b, double meanSize) {
  return std::fabs(a.level - b.level) + 10.0 * std::fabs(a.size - b.size) / meanSize;
}

double MeanSize(const std::vector<Feature>& f) {
  double sum = 0;
  for (const Feature& x : f) sum += x.size;
  return f.empty() || sum <= 0 ? 1 : sum / double(f.size());
}

// Walks the pattern: a position is a chunk of the cycle and the frames already taken of it.
struct Place {
  std::size_t chunk = 0;
  std::uint32_t taken = 0;
  std::uint32_t Track(const ChunkPattern& p) const { return p.chunks[chunk].first; }
  void Next(const ChunkPattern& p) {
    if (++taken >= p.chunks[chunk].second) {
      taken = 0;
      chunk = (chunk + 1) % p.chunks.size();
    }
  }
};

// What each track's frames were like before a break: the mean of its last few.
struct Signature {
  double level = 0, size = 0;
  int frames = 0;
};

// What it costs to read `features` as laid down from `place`: each track's frames must follow
// on from its own previous frame, and be like what the same track was before the break (where
// it was anything): the second is what tells the tracks apart, not only the places where they
// change.
double Cost(const ChunkPattern& pattern, Place place, const std::vector<Feature>& features,
            double meanSize, const std::vector<Signature>& before) {
  std::vector<const Feature*> last(pattern.tracks, nullptr);
  std::vector<Signature> after(pattern.tracks);
  double cost = 0;
  for (const Feature& f : features) {
    const std::uint32_t track = place.Track(pattern);
    if (last[track] != nullptr) cost += Distance(*last[track], f, meanSize);
    last[track] = &f;
    after[track].level += f.level;
    after[track].size += f.size;
    ++after[track].frames;
    place.Next(pattern);
  }
  for (std::uint32_t t = 0; t < pattern.tracks; ++t) {
    if (before[t].frames == 0 || after[t].frames == 0) continue;
    const Feature was{before[t].level / before[t].frames, before[t].size / before[t].frames};
    const Feature is{after[t].level / after[t].frames, after[t].size / after[t].frames};
    cost += Distance(was, is, meanSize) * after[t].frames;
  }
  return cost;
}

// The place in the pattern under which the frames from `from` on follow on best; `prior` wins
// ties and near-ties, as where the count says the frames are. Only frames up to the next
// damaged stretch are judged: across it the count is lost again.
Place Rephase(const std::uint8_t* data, const FrameSyntax& syntax, const ChunkPattern& pattern,
              const std::vector<FrameRef>& frames, std::size_t from, std::size_t until, Place prior,
              const std::vector<Signature>& before) {
  const std::vector<Feature> features =
      Features(data, syntax, frames, from, std::min(kJudgedFrames, until - from));
  const double meanSize = MeanSize(features);
  Place best = prior;
  double bestCost = Cost(pattern, prior, features, meanSize, before) * 0.95;
  Place place;
  for (std::uint32_t k = 0; k < pattern.Frames(); ++k, place.Next(pattern)) {
    const double cost = Cost(pattern, place, features, meanSize, before);
    if (cost < bestCost) {
      bestCost = cost;
      best = place;
    }
  }
  return best;
}

}  // namespace

std::uint32_t ChunkPattern::Frames() const {
  std::uint32_t frames = 0;
  for (const auto& c : chunks) frames += c.second;
  return frames;
}

std::vector<std::size_t> SameSettingTracks(const ContainerLayout& layout) {
  std::vector<std::size_t> sound;
  for (std::size_t i = 0; i < layout.tracks.size(); ++i) {
    const Track& t = layout.tracks[i];
    const bool isSound = t.kind == TrackKind::kSound || t.handler == kHandlerSound.Value();
    if (isSound && (!t.entry.audioConfig.empty() || !t.entry.alacCookie.empty())) {
      sound.push_back(i);
    }
  }
  std::vector<std::size_t> same;
  for (std::size_t i : sound) {
    const SampleEntry& a = layout.tracks[sound[0]].entry;
    const SampleEntry& b = layout.tracks[i].entry;
    if (a.format == b.format && a.audioConfig == b.audioConfig && a.alacCookie == b.alacCookie) {
      same.push_back(i);
    }
  }
  return same.size() >= 2 ? same : std::vector<std::size_t>{};
}

std::optional<ChunkPattern> PatternOf(const ContainerLayout& layout,
                                      const std::vector<std::size_t>& tracks) {
  struct Chunk {
    std::uint64_t offset;
    std::uint32_t track, frames;
  };
  std::vector<Chunk> chunks;
  for (std::uint32_t k = 0; k < tracks.size(); ++k) {
    const Track& t = layout.tracks[tracks[k]];
    if (t.chunkRuns.empty()) return std::nullopt;
    std::size_t run = 0;
    for (std::size_t c = 0; c < t.chunkOffsets.size(); ++c) {
      while (run + 1 < t.chunkRuns.size() && t.chunkRuns[run + 1].first <= c + 1) ++run;
      chunks.push_back({t.chunkOffsets[c], k, t.chunkRuns[run].second});
    }
  }
  std::sort(chunks.begin(), chunks.end(),
            [](const Chunk& a, const Chunk& b) { return a.offset < b.offset; });
  ChunkPattern all;
  all.tracks = std::uint32_t(tracks.size());
  for (const Chunk& c : chunks) {
    // Chunks of one track in a row, whatever lies between them, are its frames in a row.
    if (!all.chunks.empty() && all.chunks.back().first == c.track) {
      all.chunks.back().second += c.frames;
    } else if (c.frames > 0) {
      all.chunks.emplace_back(c.track, c.frames);
    }
  }
  if (all.chunks.size() < 2) return std::nullopt;
  // The shortest cycle that repeats through every chunk but the last, which may be short.
  const std::size_t n = all.chunks.size();
  for (std::size_t length = 1; length <= n / 2; ++length) {
    bool repeats = true;
    for (std::size_t i = 0; i + length + 1 < n && repeats; ++i) {
      repeats = all.chunks[i] == all.chunks[i + length];
    }
    if (repeats) {
      ChunkPattern cycle;
      cycle.tracks = all.tracks;
      cycle.chunks.assign(all.chunks.begin(), all.chunks.begin() + std::ptrdiff_t(length));
      return cycle;
    }
  }
  return all;
}

bool SplitByIndex(const ContainerLayout& layout, const std::vector<std::size_t>& tracks,
                  std::uint8_t stream, const std::vector<FrameRef>& frames,
                  std::vector<std::uint8_t>* tracksOf) {
  struct Span {
    std::uint64_t begin, end;
    std::uint8_t track;
  };
  std::vector<Span> spans;
  for (std::size_t k = 0; k < tracks.size(); ++k) {
    const Track& t = layout.tracks[tracks[k]];
    if (!t.tablesWhole) return false;
    std::size_t run = 0, sample = 0;
    for (std::size_t c = 0; c < t.chunkOffsets.size(); ++c) {
      while (run + 1 < t.chunkRuns.size() && t.chunkRuns[run + 1].first <= c + 1) ++run;
      std::uint64_t bytes = 0;
      for (std::uint32_t s = 0; s < t.chunkRuns[run].second; ++s, ++sample) {
        bytes += t.uniformSampleSize != 0        ? t.uniformSampleSize
                 : sample < t.sampleSizes.size() ? t.sampleSizes[sample]
                                                 : 0;
      }
      spans.push_back({t.chunkOffsets[c], t.chunkOffsets[c] + bytes, std::uint8_t(k)});
    }
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  tracksOf->clear();
  for (const FrameRef& f : frames) {
    if (f.stream != stream) continue;
    auto it = std::upper_bound(spans.begin(), spans.end(), f.offset,
                               [](std::uint64_t at, const Span& s) { return at < s.begin; });
    if (it == spans.begin() || f.offset + f.size > std::prev(it)->end) return false;
    tracksOf->push_back(std::prev(it)->track);
  }
  return true;
}

void SplitByPattern(const std::uint8_t* data, const FrameSyntax& syntax,
                    const ChunkPattern& pattern, std::uint8_t stream,
                    const std::vector<Stretch>& damage, const std::vector<FrameRef>& all,
                    std::vector<std::uint8_t>* tracks) {
  std::vector<FrameRef> mine;
  for (const FrameRef& f : all) {
    if (f.stream == stream) mine.push_back(f);
  }
  if (mine.empty() || pattern.chunks.empty()) return;
  // Where the damaged stretches fall among this stream's frames.
  std::vector<std::size_t> breaks;
  {
    std::size_t seen = 0, d = 0;
    for (std::size_t i = 0; i <= all.size(); ++i) {
      while (d < damage.size() && damage[d].framesBefore <= i) {
        breaks.push_back(seen);
        ++d;
      }
      if (i < all.size() && all[i].stream == stream) ++seen;
    }
  }
  std::vector<std::uint8_t>& tracksOf = *tracks;
  tracksOf.assign(mine.size(), 0);
  // Each track's last frames before the place being read, for telling the tracks apart.
  std::vector<std::vector<Feature>> recent(pattern.tracks);
  const auto signatures = [&] {
    std::vector<Signature> out(pattern.tracks);
    for (std::uint32_t t = 0; t < pattern.tracks; ++t) {
      for (const Feature& f : recent[t]) {
        out[t].level += f.level;
        out[t].size += f.size;
        ++out[t].frames;
      }
    }
    return out;
  };
  Place place;
  std::size_t nextBreak = 0;
  for (std::size_t i = 0; i < mine.size(); ++i) {
    bool broken = false;
    while (nextBreak < breaks.size() && breaks[nextBreak] <= i) {
      broken = true;
      ++nextBreak;
    }
    // The count is lost across a damaged stretch: the frames behind it say where they are.
    if (broken) {
      const std::size_t until = nextBreak < breaks.size() ? breaks[nextBreak] : mine.size();
      place = Rephase(data, syntax, pattern, mine, i, std::max(until, i + 1), place, signatures());
    }
    tracksOf[i] = std::uint8_t(place.Track(pattern));
    const FrameRead read = syntax.Read(data + mine[i].offset, mine[i].size);
    std::vector<Feature>& r = recent[tracksOf[i]];
    r.push_back({read.level < 0 ? 0.0 : double(read.level), double(mine[i].size)});
    if (r.size() > kRecentFrames) r.erase(r.begin());
    place.Next(pattern);
  }
}

bool SplitHolds(const std::uint8_t* data, const FrameSyntax& syntax,
                const std::vector<FrameRef>& frames, const std::vector<std::uint8_t>& tracksOf) {
  const std::vector<Feature> f = Features(data, syntax, frames, 0, kTestedFrames);
  if (f.size() < 2 || tracksOf.size() < f.size()) return true;
  const double meanSize = MeanSize(f);
  double inTurn = 0, within = 0;
  std::vector<const Feature*> last(256, nullptr);
  std::size_t pairs = 0;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (i > 0) inTurn += Distance(f[i - 1], f[i], meanSize);
    const Feature*& previous = last[tracksOf[i]];
    if (previous != nullptr) {
      within += Distance(*previous, f[i], meanSize);
      ++pairs;
    }
    previous = &f[i];
  }
  inTurn /= double(f.size() - 1);
  within /= double(std::max<std::size_t>(pairs, 1));
  return within <= inTurn;
}

bool LooksInterleaved(const std::uint8_t* data, const FrameSyntax& syntax,
                      const std::vector<FrameRef>& frames) {
  const std::vector<Feature> f = Features(data, syntax, frames, 0, kTestedFrames);
  if (f.size() < kLeastFrames) return false;
  const double meanSize = MeanSize(f);
  // Frames laid one by one in turn: each is further from its neighbour than from the frame
  // before that, which is its own track's; in each half of them alike.
  const std::size_t half = f.size() / 2;
  for (std::size_t begin : {std::size_t{2}, half}) {
    double one = 0, two = 0;
    const std::size_t end = begin == 2 ? half : f.size();
    for (std::size_t i = begin; i < end; ++i) {
      one += Distance(f[i - 1], f[i], meanSize);
      two += Distance(f[i - 2], f[i], meanSize);
    }
    one /= double(end - begin);
    two /= double(end - begin);
    if (!(one > kTurnJump && one > kTurnRatio * two)) return false;
  }
  return true;
}

}  // namespace quillmend::exact
