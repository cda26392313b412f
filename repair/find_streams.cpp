#include "find_streams.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

#include "aac/aac_syntax.h"
#include "aac/audio_config.h"
#include "alac/alac_syntax.h"
#include "alac/magic_cookie.h"
#include "core/words.h"
#include "mp4/four_cc.h"
#include "rate_evidence.h"

namespace quillmend::exact {
namespace {

// How far into the media the search for the first chain goes before it gives up.
constexpr std::uint64_t kSearchBytes = std::uint64_t{4} << 20;
// How much a probe walks from a chain's start to compare candidates that chain there.
constexpr std::uint64_t kProbeBytes = std::uint64_t{256} << 10;
// A chain that holds this many frames in its probe decides; a shorter one may be bytes that
// chained by chance, and the search goes on behind it.
constexpr std::uint64_t kDecisiveFrames = 24;
// A healthy recording beside the file is of the same settings when the damaged frames' bitrate
// at its rate is within this factor of its own: recorders' encoders at one setting stay well
// inside it, while 48 and 44.1 kHz differ by 9 % and the common settings by a third or more.
constexpr double kSiblingBitrateFactor = 1.3;
// Another stream is taken for real when it explains this many of the places where the first
// stream's chains break in the probe: one break is damage, a dozen alike are a track.
constexpr int kStreamEvidence = 12;
// A probe whose frames cover this share of the media it walked speaks for the whole stream;
// less, and other tracks may lie between its frames.
constexpr double kCovered = 0.85;
// How far into a damaged stretch another track's first frame is looked for.
constexpr std::uint64_t kLookInStretch = 4096;
// In a short recording fewer breaks may be all there are: a kind that explains most of them and
// at least this many is a track too.
constexpr int kFewBreaks = 3;
// Streams a file may hold that the walk tells apart.
constexpr std::size_t kMostStreams = 8;

// Band-table groups in the order a tie is settled, each with the rates that share its tables.
// Within a group the frames' syntax cannot tell the rates apart; 32 kHz shares 48 kHz's tables
// up to the bands above about 14.5 kHz and is told apart only when a frame uses them.
struct RateGroup {
  int samplingIndex;
  std::array<std::uint32_t, 3> rates;
};
constexpr std::array<RateGroup, 7> kGroups{{
    {3, {48000, 44100, 0}},
    {5, {32000, 0, 0}},
    {6, {24000, 22050, 0}},
    {8, {16000, 12000, 11025}},
    {11, {8000, 0, 0}},
    {2, {64000, 0, 0}},
    {0, {96000, 88200, 0}},
}};

// Without a header an ALAC stream tells nothing of its rate: recorders that write it run at
// 48 kHz, music libraries at 44.1 kHz, and a few at twice either.
constexpr std::array<std::uint32_t, 4> kAlacRates{48000, 44100, 96000, 88200};

std::vector<std::uint32_t> RatesOf(const RateGroup& group) {
  std::vector<std::uint32_t> rates;
  for (const std::uint32_t r : group.rates) {
    if (r != 0) rates.push_back(r);
  }
  return rates;
}

// What a file's index or a healthy recording says of a sound track.
struct Declared {
  Codec codec = Codec::kAac;
  aac::AudioConfig aac;
  alac::Config alac;
  std::vector<std::uint8_t> cookie;
  std::uint32_t trackId = 0;
};

bool IsSound(const Track& t) {
  return t.kind == TrackKind::kSound || t.handler == kHandlerSound.Value();
}

bool ReadDeclared(const Track& t, Declared* d) {
  d->trackId = t.id;
  if (!t.entry.alacCookie.empty() || t.entry.format == kBoxAlac.Value()) {
    const std::optional<alac::Config> c =
        alac::ParseCookie(t.entry.alacCookie.data(), t.entry.alacCookie.size());
    if (!c) return false;
    d->codec = Codec::kAlac;
    d->alac = *c;
    d->cookie = alac::MakeCookie(*c);
    return true;
  }
  d->codec = Codec::kAac;
  return !t.entry.audioConfig.empty() && aac::ParseAudioConfig(t.entry.audioConfig, &d->aac);
}

// The sound tracks a layout declares, in its order; a file read in the single-track era's way
// gives its one configuration.
std::vector<Declared> DeclaredStreams(const ContainerLayout& layout) {
  std::vector<Declared> out;
  for (const Track& t : layout.tracks) {
    Declared d;
    if (IsSound(t) && ReadDeclared(t, &d)) out.push_back(std::move(d));
  }
  Declared d;
  if (out.empty() && !layout.audioConfig.empty() &&
      aac::ParseAudioConfig(layout.audioConfig, &d.aac)) {
    out.push_back(std::move(d));
  }
  return out;
}

const Track* FirstSound(const ContainerLayout& layout) {
  for (const Track& t : layout.tracks) {
    if (IsSound(t)) return &t;
  }
  return nullptr;
}

std::uint64_t MediaEndOf(const ContainerLayout& c, std::uint64_t at) {
  for (const MediaRange& r : c.media) {
    if (at >= r.begin && at < r.end) return r.end;
  }
  return at;
}

std::vector<const OtherSamples*> Pointers(const OtherSamplesList& list) {
  std::vector<const OtherSamples*> out;
  for (const auto& o : list) out.push_back(o.get());
  return out;
}

// The first media range that holds a chain of frames of this syntax.
Probe ProbeMedia(const std::uint8_t* data, const ContainerLayout& container,
                 const FrameSyntax& syntax, const OtherSamplesList& others) {
  for (const MediaRange& range : container.media) {
    Probe probe = ProbeFrames(data, range.begin, range.end, syntax, kProbeBytes, Pointers(others));
    if (probe.found) return probe;
  }
  return {};
}

struct GroupProbe {
  const RateGroup* group = nullptr;
  Probe probe;
  // Of a loose search: each shape met, in the order it was first met, with its frames.
  std::vector<std::pair<std::uint64_t, int>> shapes;
};

// Searches the media for the first place where a chain of frames of any group starts, every
// group at once, offset by offset: the right group chains where the audio starts, and a wrong
// one is found out by the first few hundred bits of a frame there. Each group that chains at
// that place gets a probe walk; the first place whose best walk is long enough decides.
// `loose`: a chain's frames may differ in shape, as those of tracks of one codec and rate group
// but other layouts do (a mono track beside a stereo one, laid in turn); the probe counts the
// shapes it met.
std::vector<GroupProbe> SearchGroups(const std::uint8_t* data, const ContainerLayout& container,
                                     const OtherSamplesList& othersList, bool loose = false) {
  const std::vector<const OtherSamples*> others = Pointers(othersList);
  // Each group read as LC and as Main, whose prediction data LC frames never carry: an LC
  // stream reads alike both ways, and a Main one only as Main. LTP streams, which no recorder
  // we know writes, are read as their header says.
  std::vector<aac::AacSyntax> unbound;
  std::vector<const RateGroup*> groupOf;
  for (const aac::ObjectType type : {aac::kLc, aac::kMain}) {
    for (const RateGroup& g : kGroups) {
      unbound.emplace_back(g.samplingIndex, aac::ElementLayout{}, type);
      groupOf.push_back(&g);
    }
  }
  std::uint64_t budget = kSearchBytes;
  for (const MediaRange& range : container.media) {
    const std::uint64_t stop = std::min(range.end, range.begin + budget);
    budget -= stop - range.begin;
    for (std::uint64_t s = range.begin; s < stop; ++s) {
      std::vector<GroupProbe> hits;
      for (std::size_t g = 0; g < unbound.size(); ++g) {
        const aac::AacSyntax& syntax = unbound[g];
        if (!syntax.MayStart(data[s])) continue;
        const FrameRead first = syntax.Read(data + s, range.end - s);
        if (!syntax.Fits(first)) continue;
        std::unique_ptr<FrameSyntax> bound = syntax.BindTo(first);
        const FrameWalker walker(data, {loose ? &syntax : bound.get()}, others);
        if (!walker.ChainAt(s, range.end)) continue;
        RangeWalk walk;
        walker.Walk(s, std::min(range.end, s + kProbeBytes), true, &walk);
        GroupProbe hit{groupOf[g], {}, {}};
        if (loose) {
          for (const FrameRef& f : walk.frames) {
            const std::uint64_t shape = syntax.Read(data + f.offset, range.end - f.offset).shape;
            auto known = std::find_if(hit.shapes.begin(), hit.shapes.end(),
                                      [&](const auto& x) { return x.first == shape; });
            if (known == hit.shapes.end()) {
              hit.shapes.emplace_back(shape, 1);
            } else {
              ++known->second;
            }
          }
        }
        hit.probe.others = walk.others.size();
        hit.probe.found = true;
        hit.probe.syntax = std::move(bound);
        hit.probe.at = s;
        hit.probe.frames = walk.frames.size();
        for (const FrameRef& f : walk.frames) hit.probe.bytes += f.size;
        hit.probe.breaks = walk.damage.size();
        hits.push_back(std::move(hit));
      }
      if (hits.empty()) continue;
      const auto best = std::max_element(
          hits.begin(), hits.end(),
          [](const auto& a, const auto& b) { return a.probe.bytes < b.probe.bytes; });
      // A range that is one chain to its end decides however short; a few frames that end it
      // after bytes that are none do not.
      const bool wholeRange =
          best->probe.at == range.begin && best->probe.at + best->probe.bytes >= range.end;
      if (best->probe.frames >= kDecisiveFrames || wholeRange) return hits;
    }
    if (budget == 0) break;
  }
  return {};
}

// Whether most of a stream's first frames carry SBR (HE-AAC) in their fill elements, and
// whether those that carry its header say parametric stereo follows (HE-AAC v2).
void FramesCarrySbr(const std::uint8_t* data, std::uint64_t at, std::uint64_t end,
                    StreamParams* p) {
  int frames = 0, sbr = 0, headers = 0, ps = 0;
  while (frames < 64 && at < end) {
    const aac::FrameInfo info = aac::ParseRawDataBlock(data + at, end - at, p->samplingIndex,
                                                       aac::ObjectType(p->objectType));
    if (info.status != aac::FrameStatus::kValid) break;
    ++frames;
    sbr += info.hasSbr ? 1 : 0;
    headers += info.hasSbrHeader ? 1 : 0;
    ps += info.hasPs ? 1 : 0;
    at += info.bytes;
  }
  p->sbr = frames > 0 && sbr * 2 > frames;
  p->ps = p->sbr && headers > 0 && ps * 2 > headers;
}

FoundStream MakeAac(std::unique_ptr<FrameSyntax> syntax, std::uint64_t at, const std::uint8_t* data,
                    std::uint64_t mediaEnd) {
  FoundStream s;
  const auto& aacSyntax = static_cast<const aac::AacSyntax&>(*syntax);
  s.params.codec = Codec::kAac;
  s.params.samplingIndex = aacSyntax.SamplingIndex();
  s.params.layout = aacSyntax.Layout();
  s.params.channels = static_cast<std::uint32_t>(aacSyntax.Layout().Channels());
  s.params.channelConfig = aac::ChannelConfigFor(aacSyntax.Layout());
  s.params.objectType = aacSyntax.Type();
  FramesCarrySbr(data, at, mediaEnd, &s.params);
  s.syntax = std::move(syntax);
  return s;
}

FoundStream MakeAlac(std::unique_ptr<FrameSyntax> syntax, const alac::Config& config) {
  FoundStream s;
  s.params.codec = Codec::kAlac;
  s.params.channels = config.numChannels;
  s.params.samplesPerFrame = config.frameLength;
  s.params.alacCookie = alac::MakeCookie(config);
  s.params.bitDepth = config.bitDepth;
  s.syntax = std::move(syntax);
  return s;
}

void Certain(StreamParams* p, std::uint32_t rate, RateSource source, std::string file = {}) {
  p->rate = rate;
  p->rateChoice = {};
  p->rateChoice.rate = rate;
  p->rateChoice.source = source;
  p->rateChoice.confidence = Confidence::kCertain;
  p->rateChoice.file = std::move(file);
}

// An ALAC stream learnt from the frames: its bit depth and channels.
bool InferAlac(const std::uint8_t* data, const ContainerLayout& container, FoundStream* out,
               std::uint64_t* at) {
  for (const MediaRange& range : container.media) {
    const alac::Inference inference = alac::InferConfig(data, range.begin, range.end);
    if (inference.certainty < alac::Certainty::kLikely) continue;
    std::unique_ptr<FrameSyntax> unbound = alac::MakeSyntax(inference.config);
    if (!unbound) continue;
    const FrameRead first = unbound->Read(data + inference.start, range.end - inference.start);
    if (!unbound->Fits(first)) continue;
    *out = MakeAlac(unbound->BindTo(first), inference.config);
    *at = inference.start;
    return true;
  }
  return false;
}

// Frames of tracks of other rates and layouts laid in turn (a stereo track beside a mono one at
// another rate): at each place the first group whose frame fits, with something that fits behind
// it, is taken; the kinds (group, shape) a long enough run holds, each with its frames, in the
// order they were first met.
std::vector<std::pair<std::pair<int, std::uint64_t>, int>> DiscoverMixed(
    const std::uint8_t* data, const ContainerLayout& container, const OtherSamplesList& list,
    bool* steppedOver) {
  const std::vector<const OtherSamples*> others = Pointers(list);
  std::vector<aac::AacSyntax> unbound;
  for (const RateGroup& g : kGroups) unbound.emplace_back(g.samplingIndex);
  const auto otherRun = [&](std::uint64_t at, std::uint64_t end) -> std::uint64_t {
    for (const OtherSamples* o : others) {
      if (const std::uint64_t run = o->RunAt(data + at, end - at)) return run;
    }
    return 0;
  };
  const auto fitsAt = [&](std::uint64_t at, std::uint64_t end) -> int {
    for (std::size_t g = 0; g < unbound.size(); ++g) {
      if (unbound[g].MayStart(data[at]) && unbound[g].Fits(unbound[g].Read(data + at, end - at))) {
        return int(g);
      }
    }
    return -1;
  };
  std::uint64_t budget = kSearchBytes / 4;
  for (const MediaRange& range : container.media) {
    const std::uint64_t stop = std::min(range.end, range.begin + budget);
    budget -= stop - range.begin;
    for (std::uint64_t s = range.begin; s < stop; ++s) {
      std::vector<std::pair<std::pair<int, std::uint64_t>, int>> kinds;
      std::vector<std::pair<int, std::uint64_t>> run;  // the frames of the run going on
      std::uint64_t at = s, frames = 0;
      *steppedOver = false;
      // A run's frames count once it is as long as a chain; bytes that are none are passed over,
      // as damage is.
      const auto close = [&] {
        if (run.size() >= std::size_t(kChainLinks)) {
          for (const auto& key : run) {
            auto known = std::find_if(kinds.begin(), kinds.end(),
                                      [&](const auto& k) { return k.first == key; });
            if (known == kinds.end()) {
              kinds.emplace_back(key, 1);
            } else {
              ++known->second;
            }
          }
          frames += run.size();
        }
        run.clear();
      };
      while (at < range.end && at < s + kProbeBytes) {
        int taken = -1;
        FrameRead read;
        for (std::size_t g = 0; g < unbound.size() && taken < 0; ++g) {
          if (!unbound[g].MayStart(data[at])) continue;
          read = unbound[g].Read(data + at, range.end - at);
          if (!unbound[g].Fits(read)) continue;
          const std::uint64_t next = at + read.bytes;
          if (next == range.end || fitsAt(next, range.end) >= 0 || otherRun(next, range.end) != 0) {
            taken = int(g);
          }
        }
        if (taken < 0) {
          const std::uint64_t other = run.empty() ? 0 : otherRun(at, range.end);
          if (other != 0) {
            at += other;
            *steppedOver = true;
            continue;
          }
          if (frames == 0 && run.empty()) break;  // the run must start where the search stands
          close();
          ++at;
          continue;
        }
        run.emplace_back(kGroups[std::size_t(taken)].samplingIndex, read.shape);
        at += read.bytes;
      }
      close();
      if (frames >= kDecisiveFrames && kinds.size() >= 2) return kinds;
    }
    if (budget == 0) break;
  }
  return {};
}

// The frames alone: the AAC group whose chains hold the most and the rates it stands for, or
// else ALAC frames.
Streams FromFrames(const std::uint8_t* data, const ContainerLayout& container,
                   const OtherSamplesList& others) {
  Streams out;
  std::vector<GroupProbe> hits = SearchGroups(data, container, others);
  if (hits.empty()) hits = SearchGroups(data, container, others, true);
  // A stream whose chains cover little of the media they lie in may be one of several tracks of
  // other rates or layouts laid in turn: the mixed reading decides when it reads more frames.
  std::uint64_t bestFrames = 0;
  bool covers = false;
  for (const GroupProbe& h : hits) {
    bestFrames = std::max(bestFrames, h.probe.frames);
    const std::uint64_t window =
        std::min(MediaEndOf(container, h.probe.at), h.probe.at + kProbeBytes) - h.probe.at;
    covers = covers || double(h.probe.bytes) >= kCovered * double(window);
  }
  if (!covers) {
    bool steppedOver = false;
    const auto kinds = DiscoverMixed(data, container, others, &steppedOver);
    std::uint64_t frames = 0;
    for (const auto& k : kinds) frames += std::uint64_t(k.second);
    if (frames > bestFrames) {
      for (const auto& [kind, count] : kinds) {
        if (out.found.size() >= kMostStreams || std::uint64_t(count) * 10 < frames) continue;
        const auto [index, shape] = kind;
        out.found.push_back(MakeAac(std::make_unique<aac::AacSyntax>(index, shape),
                                    container.media.front().begin, data,
                                    container.media.front().end));
        for (const RateGroup& g : kGroups) {
          if (g.samplingIndex == index) out.found.back().groupRates = RatesOf(g);
        }
      }
    }
    if (!out.found.empty()) {
      out.firstFrame = container.media.front().begin;
      out.groupRates = out.found.front().groupRates;
      if (steppedOver) out.others = others;
      out.status = Status::Ok();
      return out;
    }
  }
  if (hits.empty()) {
    FoundStream alac;
    std::uint64_t at = 0;
    if (!InferAlac(data, container, &alac, &at)) return out;
    out.found.push_back(std::move(alac));
    out.firstFrame = at;
    out.groupRates.assign(kAlacRates.begin(), kAlacRates.end());
    out.found.front().groupRates = out.groupRates;
    out.status = Status::Ok();
    return out;
  }
  // The most bytes win; LC, the stricter reading, wins a tie with Main.
  GroupProbe* best = &hits[0];
  for (GroupProbe& h : hits) {
    if (h.probe.bytes > best->probe.bytes) best = &h;
  }
  std::vector<std::uint32_t> rates = RatesOf(*best->group);
  // 48 and 32 kHz read alike until a frame uses a band above 32 kHz's top: then only one reads.
  const auto shares48 = [](const GroupProbe& g) {
    return g.group->samplingIndex == 3 || g.group->samplingIndex == 5;
  };
  const auto typeOf = [](const GroupProbe& g) {
    return static_cast<const aac::AacSyntax&>(*g.probe.syntax).Type();
  };
  for (GroupProbe& h : hits) {
    if (&h != best && h.probe.bytes == best->probe.bytes && shares48(h) && shares48(*best) &&
        typeOf(h) == typeOf(*best)) {
      for (const std::uint32_t r : RatesOf(*h.group)) rates.push_back(r);
      if (h.group->samplingIndex == 3) best = &h;  // 48 kHz's tables, the wider group's
    }
  }
  const std::uint64_t at = best->probe.at;
  if (best->probe.others > 0) out.others = others;
  if (!best->shapes.empty()) {
    // Frames of several layouts in turn: each layout that holds a fair share is a stream, in
    // the order the file first lays them down.
    const auto& first = static_cast<const aac::AacSyntax&>(*best->probe.syntax);
    for (const auto& [shape, count] : best->shapes) {
      if (out.found.size() >= kMostStreams) break;
      if (count * 10 < int(best->probe.frames)) continue;
      out.found.push_back(
          MakeAac(std::make_unique<aac::AacSyntax>(first.SamplingIndex(), shape, first.Type()), at,
                  data, MediaEndOf(container, at)));
      out.found.back().groupRates = rates;
    }
  } else {
    out.found.push_back(
        MakeAac(std::move(best->probe.syntax), at, data, MediaEndOf(container, at)));
  }
  out.firstFrame = at;
  if (out.found.front().groupRates.empty()) out.found.front().groupRates = rates;
  out.groupRates = std::move(rates);
  out.status = Status::Ok();
  return out;
}

Status NoAudio() { return Status::Failed(Status::Code::kNoAudio, "no audio was found"); }

// The sample's settings against what the frames fit.
Status SampleMismatch(const WalkOptions& options, const WalkResult& result) {
  const std::string fits = result.fittingRates.empty() ? "of no rate that could be read"
                                                       : ChannelWords(result.fittingChannels) +
                                                             ", " + RateList(result.fittingRates);
  return Status::Failed(Status::Code::kMismatch,
                        "the healthy recording " + options.sample->name +
                            " was made with other settings than the damaged file (its frames are " +
                            fits + ")",
                        "give a recording made with the same settings, or leave it out");
}

Status RateMismatch(const WalkOptions& options, const WalkResult& result) {
  return Status::Failed(
      Status::Code::kMismatch,
      "the frames do not fit " + Hz(options.rateHz) +
          (result.fittingRates.empty() ? std::string()
                                       : ": they fit " + RateList(result.fittingRates)),
      result.fittingRates.empty() ? "leave the rate out"
                                  : "repair it at one of those rates, or leave the rate out");
}

void NameFitting(const Streams& fromFrames, WalkResult* result) {
  result->fittingRates.clear();
  if (fromFrames.found.empty()) return;
  const StreamParams& p = fromFrames.found[0].params;
  for (const std::uint32_t r : fromFrames.groupRates) {
    result->fittingRates.push_back(p.sbr ? r * 2 : r);
  }
  result->fittingChannels = p.channels;
}

// Whether a probe's chain is long enough to speak for the stream: a few frames that happen to
// chain at the end of the media do not, unless the media is that short.
bool Decisive(const Probe& probe, const ContainerLayout& container) {
  if (!probe.found) return false;
  if (probe.frames >= kDecisiveFrames) return true;
  for (const MediaRange& r : container.media) {
    if (probe.at == r.begin && probe.at + probe.bytes >= r.end) return true;
  }
  return false;
}

// A stream a declaration describes, if the frames bear it out.
bool TakeDeclared(const std::uint8_t* data, const ContainerLayout& container, const Declared& d,
                  std::uint32_t rateHz, const OtherSamplesList& others, FoundStream* out,
                  std::uint64_t* at, bool* usedOthers) {
  if (d.codec == Codec::kAlac) {
    std::unique_ptr<FrameSyntax> unbound = alac::MakeSyntax(d.alac);
    if (!unbound) return false;
    Probe probe = ProbeMedia(data, container, *unbound, others);
    if (!Decisive(probe, container)) return false;
    *usedOthers = *usedOthers || probe.others > 0;
    if (!probe.found) return false;
    *out = MakeAlac(std::move(probe.syntax), d.alac);
    *at = probe.at;
    return true;
  }
  const int index = rateHz != 0 ? aac::SamplingIndexFromRate(int(d.aac.sbr ? rateHz / 2 : rateHz))
                                : d.aac.samplingIndex;
  if (index < 0) return false;
  Probe probe = ProbeMedia(data, container,
                           aac::AacSyntax(index, aac::ElementLayout{}, d.aac.objectType), others);
  if (!probe.found) return false;
  *usedOthers = *usedOthers || probe.others > 0;
  const auto& syntax = static_cast<const aac::AacSyntax&>(*probe.syntax);
  if (d.aac.channelConfig != 0 && aac::ChannelConfigFor(syntax.Layout()) != d.aac.channelConfig) {
    return false;
  }
  *at = probe.at;
  *out = MakeAac(std::move(probe.syntax), probe.at, data, MediaEndOf(container, probe.at));
  out->params.sbr = d.aac.sbr;
  out->params.ps = d.aac.ps;
  return true;
}

double TrackBitrate(const Track& t) {
  if (t.timescale == 0 || t.duration == 0) return 0;
  std::uint64_t bytes = 0;
  if (t.uniformSampleSize != 0) {
    bytes = std::uint64_t{t.uniformSampleSize} * t.sampleCount;
  } else {
    for (const std::uint32_t s : t.sampleSizes) bytes += s;
  }
  return double(bytes) * 8.0 / (double(t.duration) / double(t.timescale));
}

// Looks where the first stream's chains break, early in the media, for the frames of another
// stream: the same codec's group with another layout (a mono track beside a stereo one), or
// another group. A kind that explains many breaks is a stream of its own.
void FindMoreStreams(const std::uint8_t* data, const ContainerLayout& container,
                     std::uint64_t firstFrame, Streams* streams) {
  const std::vector<const OtherSamples*> others = Pointers(streams->others);
  if (streams->found.empty() || streams->found[0].params.codec != Codec::kAac) return;
  const std::uint64_t end = MediaEndOf(container, firstFrame);
  while (streams->found.size() < kMostStreams) {
    std::vector<const FrameSyntax*> known;
    for (const FoundStream& s : streams->found) known.push_back(s.syntax.get());
    const FrameWalker walker(data, known, others);
    RangeWalk walk;
    walker.Walk(firstFrame, std::min(end, firstFrame + kProbeBytes), true, &walk);
    std::map<std::pair<int, std::uint64_t>, int> kinds;  // (group, shape) -> breaks explained
    std::map<std::pair<int, std::uint64_t>, std::uint64_t> where;
    const auto isKnown = [&](int index, std::uint64_t shape) {
      for (const FoundStream& f : streams->found) {
        const auto* a = dynamic_cast<const aac::AacSyntax*>(f.syntax.get());
        if (a != nullptr && a->SamplingIndex() == index && aac::ShapeOf(a->Layout()) == shape) {
          return true;
        }
      }
      return false;
    };
    for (const Stretch& s : walk.damage) {
      // The other track's frames start in the stretch: at its start, or behind a frame of the
      // known stream that the broken chain gave back.
      bool found = false;
      const std::uint64_t last = std::min(s.offset + s.length, s.offset + kLookInStretch);
      for (std::uint64_t at = s.offset; at < last && !found; ++at) {
        for (const RateGroup& g : kGroups) {
          const aac::AacSyntax unbound(g.samplingIndex);
          if (!unbound.MayStart(data[at])) continue;
          const FrameRead read = unbound.Read(data + at, end - at);
          if (!unbound.Fits(read) || isKnown(g.samplingIndex, read.shape)) continue;
          // Its frames must chain, with the streams known between them.
          const aac::AacSyntax candidate(g.samplingIndex, read.shape);
          std::vector<const FrameSyntax*> with = known;
          with.push_back(&candidate);
          if (!FrameWalker(data, with, others).ChainAt(at, end)) continue;
          const auto key = std::make_pair(g.samplingIndex, read.shape);
          if (++kinds[key] == 1) where[key] = at;
          found = true;
          break;
        }
      }
    }
    // A kind that explains most breaks, and more than a few, is a track; one break alone is
    // damage.
    auto best = kinds.end();
    for (auto it = kinds.begin(); it != kinds.end(); ++it) {
      const bool enough =
          it->second >= kStreamEvidence ||
          (it->second >= kFewBreaks && 2 * std::size_t(it->second) > walk.damage.size());
      if (enough && (best == kinds.end() || it->second > best->second)) best = it;
    }
    if (best == kinds.end()) return;
    const auto [index, shape] = best->first;
    const std::uint64_t at = where[best->first];
    FoundStream more = MakeAac(std::make_unique<aac::AacSyntax>(index, shape), at, data, end);
    for (const RateGroup& g : kGroups) {
      if (g.samplingIndex == index) more.groupRates = RatesOf(g);
    }
    streams->found.push_back(std::move(more));
  }
}

}  // namespace

Streams FindStreams(const std::uint8_t* data, const ContainerLayout& container,
                    const WalkOptions& options, WalkResult* result) {
  const bool fromSample = options.sample.has_value();
  const std::vector<Declared> declared =
      DeclaredStreams(fromSample ? options.sample->layout : container);
  // A video's samples lie between the audio frames: the index's or the sample's video tracks,
  // else what phones and cameras write, looked for while the first chain is searched.
  OtherSamplesList video = VideoTracksOf(container);
  if (video.empty() && fromSample) video = VideoTracksOf(options.sample->layout);
  const bool videoKnown = !video.empty();
  if (!videoKnown) video = LikelyVideo();
  if (fromSample && declared.empty()) {
    Streams bad = FromFrames(data, container, video);
    NameFitting(bad, result);
    bad.status = SampleMismatch(options, *result);
    return bad;
  }
  // The caller's rate is taken when it is one of those the frames' band tables stand for; the
  // frames decide the rest. A rate they contradict is refused, with the rates that fit.
  if (options.rateHz != 0 && !fromSample) {
    Streams frames = FromFrames(data, container, video);
    if (videoKnown) frames.others = video;
    if (!frames.status.ok()) return frames;
    StreamParams& p = frames.found[0].params;
    const std::uint32_t factor = p.sbr ? 2 : 1;
    const bool fits = p.codec == Codec::kAlac ||
                      std::any_of(frames.groupRates.begin(), frames.groupRates.end(),
                                  [&](std::uint32_t r) { return r * factor == options.rateHz; });
    if (!fits) {
      NameFitting(frames, result);
      frames.status = RateMismatch(options, *result);
      return frames;
    }
    Certain(&p, options.rateHz, RateSource::kOption);
    if (p.codec == Codec::kAac)
      p.samplingIndex = aac::SamplingIndexFromRate(int(options.rateHz / factor));
    FindMoreStreams(data, container, frames.firstFrame, &frames);
    return frames;
  }
  if (!declared.empty()) {
    Streams out;
    out.status = Status::Ok();
    std::uint64_t first = ~std::uint64_t{0};
    bool usedVideo = false;
    bool missed = false;
    for (const Declared& d : declared) {
      FoundStream s;
      std::uint64_t at = 0;
      if (!TakeDeclared(data, container, d, options.rateHz, video, &s, &at, &usedVideo)) {
        missed = true;
        continue;
      }
      first = std::min(first, at);
      const std::uint32_t rate = d.codec == Codec::kAlac ? d.alac.sampleRate
                                 : d.aac.sbr             ? d.aac.rate * 2
                                                         : d.aac.rate;
      if (options.rateHz != 0) {
        Certain(&s.params, options.rateHz, RateSource::kOption);
      } else {
        Certain(&s.params, rate, fromSample ? RateSource::kSample : RateSource::kHeader,
                fromSample ? options.sample->name : std::string());
      }
      if (!fromSample) s.params.trackId = d.trackId;
      // Tracks of one setting are one stream to the walk; they are told apart afterwards.
      bool same = false;
      for (const FoundStream& f : out.found) same = same || f.params.SameCoding(s.params);
      if (!same) out.found.push_back(std::move(s));
    }
    // Tracks of other settings laid in turn chain only together: the frames find them, and the
    // declarations give them their rates.
    if (missed && declared.size() > 1) {
      Streams frames = FromFrames(data, container, video);
      if (frames.status.ok() && frames.found.size() > out.found.size()) {
        for (std::size_t i = 0; i < frames.found.size(); ++i) {
          StreamParams& p = frames.found[i].params;
          for (const Declared& d : declared) {
            if (d.codec != p.codec || d.codec != Codec::kAac ||
                d.aac.channelConfig != p.channelConfig) {
              continue;
            }
            const auto& rates = frames.found[i].groupRates;
            if (std::find(rates.begin(), rates.end(), d.aac.rate) == rates.end()) continue;
            Certain(&p, d.aac.sbr ? d.aac.rate * 2 : d.aac.rate,
                    fromSample ? RateSource::kSample : RateSource::kHeader,
                    fromSample ? options.sample->name : std::string());
            p.samplingIndex = d.aac.samplingIndex;
            if (!fromSample) p.trackId = d.trackId;
            break;
          }
        }
        // In the order the index lists them.
        std::stable_sort(frames.found.begin(), frames.found.end(),
                         [](const FoundStream& a, const FoundStream& b) {
                           return (a.params.trackId - 1u) < (b.params.trackId - 1u);
                         });
        frames.groupRates = frames.found[0].groupRates;
        return frames;
      }
    }
    if (!out.found.empty()) {
      out.firstFrame = first;
      if (videoKnown || usedVideo) out.others = video;
      // A stream no declaration covers takes its rate from the frames, as below.
      FindMoreStreams(data, container, first, &out);
      return out;
    }
    // A file header that contradicts the frames is damage too; the frames decide. A sample or
    // a rate the caller gave is the caller's word, and a contradiction is reported with what
    // the frames do fit.
    if (fromSample) {
      Streams frames = FromFrames(data, container, video);
      NameFitting(frames, result);
      frames.status = frames.status.ok() ? SampleMismatch(options, *result) : NoAudio();
      return frames;
    }
  }
  Streams out = FromFrames(data, container, video);
  if (videoKnown) out.others = video;
  if (out.status.ok()) {
    FindMoreStreams(data, container, out.firstFrame, &out);
  }
  return out;
}

void ChooseRate(const std::uint8_t* data, std::uint64_t dataSize, const Streams& streams,
                const WalkOptions& options, std::size_t stream, WalkResult* result) {
  StreamParams& p = result->streams[stream];
  const std::vector<std::uint32_t>& groupRates = streams.found[stream].groupRates.empty()
                                                     ? streams.groupRates
                                                     : streams.found[stream].groupRates;
  std::vector<FrameRef> frames;
  std::uint64_t bytes = 0;
  for (const FrameRef& f : result->frames) {
    if (f.stream != stream) continue;
    frames.push_back(f);
    bytes += f.size;
  }
  const double meanBytes = frames.empty() ? 0 : double(bytes) / double(frames.size());
  const std::uint32_t factor = p.sbr ? 2 : 1;

  // A healthy recording beside the file with the same settings: same codec and object type,
  // same channel layout, a rate of the frames' group, and a bitrate that the damaged frames
  // have at its rate (lossless frames have none to compare). The closest bitrate wins, then
  // the same brand.
  const Reference* bestSibling = nullptr;
  std::uint32_t siblingRate = 0;
  double bestDistance = 0;
  for (const Reference& sibling : options.siblings) {
    const std::vector<Declared> theirs = DeclaredStreams(sibling.layout);
    if (theirs.empty() || theirs[0].codec != p.codec) continue;
    const Declared& d = theirs[0];
    std::uint32_t rate = 0;
    double distance = 0;
    if (p.codec == Codec::kAlac) {
      if (d.alac.numChannels != p.channels || d.alac.bitDepth != p.bitDepth) continue;
      rate = d.alac.sampleRate;
    } else {
      if (d.aac.objectType != p.objectType || d.aac.sbr != p.sbr) continue;
      if (d.aac.channelConfig != p.channelConfig || p.channelConfig == 0) continue;
      rate = d.aac.rate;
      if (std::find(groupRates.begin(), groupRates.end(), rate) == groupRates.end()) continue;
      const Track* track = FirstSound(sibling.layout);
      const double theirRate = track != nullptr ? TrackBitrate(*track) : sibling.bitrate;
      const double ours = meanBytes * 8.0 * double(rate) / 1024.0;
      if (theirRate <= 0 || ours <= 0) continue;
      distance = std::fabs(std::log(ours / theirRate));
      if (distance > std::log(kSiblingBitrateFactor)) continue;
    }
    if (rate == 0) continue;
    const bool sameBrand = sibling.layout.brand == result->container.brand;
    const double score = distance - (sameBrand ? 0.01 : 0);
    if (bestSibling == nullptr || score < bestDistance) {
      bestSibling = &sibling;
      siblingRate = rate;
      bestDistance = score;
    }
  }
  if (bestSibling != nullptr) {
    Certain(&p, siblingRate * factor, RateSource::kSibling, bestSibling->name);
    if (p.codec == Codec::kAac) p.samplingIndex = aac::SamplingIndexFromRate(int(siblingRate));
    return;
  }

  if (p.codec == Codec::kAlac) {
    p.rate = groupRates.empty() ? 48000 : groupRates.front();
    p.rateChoice = {};
    p.rateChoice.rate = p.rate;
    p.rateChoice.source = RateSource::kAssumed;
    p.rateChoice.confidence = Confidence::kGuess;
    p.rateChoice.reason = "lossless frames do not show their rate";
    p.rateChoice.alternatives.assign(groupRates.begin() + (groupRates.empty() ? 0 : 1),
                                     groupRates.end());
    return;
  }
  const rate::RateEvidence evidence =
      rate::WeighRate(data, dataSize, frames, {p.samplingIndex, int(p.channels), p.sbr});
  if (evidence.candidates.empty()) return;
  const rate::Candidate& first = evidence.candidates.front();
  p.sbr = evidence.sbr;
  p.rate = first.rate;
  p.samplingIndex = first.samplingIndex;
  p.rateChoice = {};
  p.rateChoice.rate = p.rate;
  p.rateChoice.confidence = evidence.confidence;
  // A guess is the order recorders use the rates in, whatever little the frames said.
  p.rateChoice.source =
      p.rateChoice.confidence == Confidence::kGuess ? RateSource::kAssumed : RateSource::kFrames;
  p.rateChoice.reason = evidence.reason;
  for (std::size_t i = 1; i < evidence.candidates.size(); ++i) {
    p.rateChoice.alternatives.push_back(evidence.candidates[i].rate);
  }
}

}  // namespace quillmend::exact
