#include "find_streams.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "aac/aac_syntax.h"
#include "aac/audio_config.h"
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

constexpr std::uint32_t kSoun = 0x736f756e;  // 'soun'
constexpr std::uint32_t kMp4a = 0x6d703461;  // 'mp4a'

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

std::vector<std::uint32_t> RatesOf(const RateGroup& group) {
  std::vector<std::uint32_t> rates;
  for (const std::uint32_t r : group.rates) {
    if (r != 0) rates.push_back(r);
  }
  return rates;
}

const RateGroup* GroupOfIndex(int samplingIndex) {
  for (const RateGroup& g : kGroups) {
    const int rate = aac::SamplingRateFromIndex(samplingIndex);
    for (const std::uint32_t r : g.rates) {
      if (r != 0 && int(r) == rate) return &g;
    }
  }
  return nullptr;
}

// The first sound track of a layout whose sample entry we can read.
const Track* FirstSound(const ContainerLayout& layout) {
  for (const Track& t : layout.tracks) {
    const bool sound = t.kind == TrackKind::kSound || t.handler == kSoun;
    if (sound && !t.entry.audioConfig.empty()) return &t;
  }
  return nullptr;
}

// The AAC configuration a layout declares, from its first sound track or, in a file of the
// single-track era's reading, from its audioConfig.
bool DeclaredAac(const ContainerLayout& layout, aac::AudioConfig* config) {
  const Track* track = FirstSound(layout);
  const std::vector<std::uint8_t>& bytes = track ? track->entry.audioConfig : layout.audioConfig;
  return !bytes.empty() && aac::ParseAudioConfig(bytes, config);
}

// The first media range that holds a chain of frames of this syntax.
Probe ProbeMedia(const std::uint8_t* data, const ContainerLayout& container,
                 const FrameSyntax& syntax) {
  for (const MediaRange& range : container.media) {
    Probe probe = ProbeFrames(data, range.begin, range.end, syntax, kProbeBytes);
    if (probe.found) return probe;
  }
  return {};
}

struct GroupProbe {
  const RateGroup* group = nullptr;
  Probe probe;
};

// Searches the media for the first place where a chain of frames of any group starts, every
// group at once, offset by offset: the right group chains where the audio starts, and a wrong
// one is found out by the first few hundred bits of a frame there. Each group that chains at
// that place gets a probe walk; the first place whose best walk is long enough decides.
std::vector<GroupProbe> SearchGroups(const std::uint8_t* data, const ContainerLayout& container) {
  std::vector<aac::AacSyntax> unbound;
  for (const RateGroup& g : kGroups) unbound.emplace_back(g.samplingIndex);
  std::uint64_t budget = kSearchBytes;
  for (const MediaRange& range : container.media) {
    const std::uint64_t stop = std::min(range.end, range.begin + budget);
    budget -= stop - range.begin;
    for (std::uint64_t s = range.begin; s < stop; ++s) {
      std::vector<GroupProbe> hits;
      for (std::size_t g = 0; g < kGroups.size(); ++g) {
        const aac::AacSyntax& syntax = unbound[g];
        if (!syntax.MayStart(data[s])) continue;
        const FrameRead first = syntax.Read(data + s, range.end - s);
        if (!syntax.Fits(first)) continue;
        std::unique_ptr<FrameSyntax> bound = syntax.BindTo(first);
        const FrameWalker walker(data, {bound.get()});
        if (!walker.ChainAt(s, range.end)) continue;
        RangeWalk walk;
        walker.Walk(s, std::min(range.end, s + kProbeBytes), true, &walk);
        GroupProbe hit{&kGroups[g], {}};
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
      const bool reachesEnd = best->probe.at + best->probe.bytes >= range.end;
      if (best->probe.frames >= kDecisiveFrames || reachesEnd) return hits;
    }
    if (budget == 0) break;
  }
  return {};
}

void SetLayout(const aac::ElementLayout& layout, StreamParams* params) {
  params->layout = layout;
  params->channels = static_cast<std::uint32_t>(layout.Channels());
  params->channelConfig = aac::ChannelConfigFor(layout);
}

// Whether the stream's frames carry SBR (HE-AAC): most of the first frames say so in their fill
// elements.
bool FramesCarrySbr(const std::uint8_t* data, std::uint64_t at, std::uint64_t end,
                    int samplingIndex) {
  int frames = 0, sbr = 0;
  while (frames < 16 && at < end) {
    const aac::FrameInfo info = aac::ParseRawDataBlock(data + at, end - at, samplingIndex);
    if (info.status != aac::FrameStatus::kValid) break;
    ++frames;
    sbr += info.hasSbr ? 1 : 0;
    at += info.bytes;
  }
  return frames > 0 && sbr * 2 > frames;
}

FoundStream MakeAac(Probe& probe, int samplingIndex, const std::uint8_t* data,
                    std::uint64_t mediaEnd) {
  FoundStream s;
  s.syntax = std::move(probe.syntax);
  const auto& aacSyntax = static_cast<const aac::AacSyntax&>(*s.syntax);
  s.params.codec = Codec::kAac;
  s.params.samplingIndex = samplingIndex;
  SetLayout(aacSyntax.Layout(), &s.params);
  s.params.sbr = FramesCarrySbr(data, probe.at, mediaEnd, samplingIndex);
  return s;
}

std::uint64_t MediaEndOf(const ContainerLayout& c, std::uint64_t at) {
  for (const MediaRange& r : c.media) {
    if (at >= r.begin && at < r.end) return r.end;
  }
  return at;
}

void Certain(StreamParams* p, std::uint32_t rate, RateSource source, std::string file = {}) {
  p->rate = rate;
  p->rateChoice = {};
  p->rateChoice.rate = rate;
  p->rateChoice.source = source;
  p->rateChoice.confidence = Confidence::kCertain;
  p->rateChoice.file = std::move(file);
}

// The frames alone: the group whose chains hold the most, and the rates it stands for.
Streams FromFrames(const std::uint8_t* data, const ContainerLayout& container) {
  Streams out;
  std::vector<GroupProbe> hits = SearchGroups(data, container);
  if (hits.empty()) return out;
  GroupProbe* best = &hits[0];
  for (GroupProbe& h : hits) {
    if (h.probe.bytes > best->probe.bytes) best = &h;
  }
  std::vector<std::uint32_t> rates = RatesOf(*best->group);
  // 48 and 32 kHz read alike until a frame uses a band above 32 kHz's top: then only one reads.
  const auto shares48 = [](const GroupProbe& g) {
    return g.group->samplingIndex == 3 || g.group->samplingIndex == 5;
  };
  for (GroupProbe& h : hits) {
    if (&h != best && h.probe.bytes == best->probe.bytes && shares48(h) && shares48(*best)) {
      for (const std::uint32_t r : RatesOf(*h.group)) rates.push_back(r);
      out.tie32 = true;
      if (h.group->samplingIndex == 3) best = &h;  // 48 kHz's tables, the wider group's
    }
  }
  const std::uint64_t end = MediaEndOf(container, best->probe.at);
  out.found.push_back(MakeAac(best->probe, best->group->samplingIndex, data, end));
  out.rateFromFrames = true;
  out.groupRates = std::move(rates);
  out.status = WalkStatus::kOk;
  return out;
}

void NameFitting(const Streams& fromFrames, WalkResult* result) {
  result->fittingRates.clear();
  for (const std::uint32_t r : fromFrames.groupRates) {
    result->fittingRates.push_back(fromFrames.found[0].params.sbr ? r * 2 : r);
  }
  result->fittingChannels = fromFrames.found[0].params.channels;
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

}  // namespace

Streams FindStreams(const std::uint8_t* data, const ContainerLayout& container,
                    const WalkOptions& options, WalkResult* result) {
  aac::AudioConfig declared;
  const bool fromSample = options.sample.has_value();
  if (fromSample && !DeclaredAac(options.sample->layout, &declared)) {
    Streams bad = FromFrames(data, container);
    if (bad.status == WalkStatus::kOk) NameFitting(bad, result);
    bad.status = WalkStatus::kSampleMismatch;
    return bad;
  }
  const bool fromHeader = !fromSample && DeclaredAac(container, &declared);
  int index = declared.samplingIndex;
  if (options.rateHz != 0) index = aac::SamplingIndexFromRate(int(options.rateHz));

  if (fromSample || fromHeader || options.rateHz != 0) {
    Probe probe = ProbeMedia(data, container, aac::AacSyntax(index));
    const bool fits =
        probe.found &&
        (declared.channelConfig == 0 || options.rateHz != 0 ||
         aac::ChannelConfigFor(static_cast<const aac::AacSyntax&>(*probe.syntax).Layout()) ==
             declared.channelConfig);
    if (fits) {
      Streams out;
      out.status = WalkStatus::kOk;
      FoundStream s = MakeAac(probe, index, data, MediaEndOf(container, probe.at));
      s.params.objectType = declared.objectType != 0 ? declared.objectType : 2;
      if (fromSample || fromHeader) s.params.sbr = declared.sbr;
      const std::uint32_t core = options.rateHz != 0
                                     ? (s.params.sbr ? options.rateHz / 2 : options.rateHz)
                                     : declared.rate;
      if (options.rateHz != 0) {
        Certain(&s.params, options.rateHz, RateSource::kOption);
        // A rate of HE-AAC is the output's; its frames' tables are the core's.
        if (s.params.sbr) {
          s.params.samplingIndex = aac::SamplingIndexFromRate(int(core));
          if (s.params.samplingIndex < 0) s.params.samplingIndex = index;
        }
      } else {
        Certain(&s.params, s.params.sbr ? core * 2 : core,
                fromSample ? RateSource::kSample : RateSource::kHeader,
                fromSample ? options.sample->name : std::string());
      }
      const Track* track = FirstSound(fromSample ? options.sample->layout : container);
      if (fromHeader && track != nullptr) s.params.trackId = track->id;
      out.found.push_back(std::move(s));
      return out;
    }
    // A file header that contradicts the frames is damage too; the frames decide. A sample or
    // a rate the caller gave is the caller's word, and a contradiction is reported with what
    // the frames do fit.
    if (fromSample || options.rateHz != 0) {
      Streams frames = FromFrames(data, container);
      if (frames.status == WalkStatus::kOk) NameFitting(frames, result);
      frames.status = frames.status == WalkStatus::kOk
                          ? (fromSample ? WalkStatus::kSampleMismatch : WalkStatus::kRateMismatch)
                          : WalkStatus::kNoAudio;
      return frames;
    }
  }
  return FromFrames(data, container);
}

void ChooseRate(const std::uint8_t* data, std::uint64_t dataSize, const Streams& streams,
                const WalkOptions& options, std::size_t stream, WalkResult* result) {
  StreamParams& p = result->streams[stream];
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
  // have at its rate. The closest bitrate wins, then the same brand.
  const Reference* bestSibling = nullptr;
  std::uint32_t siblingRate = 0;
  double bestDistance = 0;
  for (const Reference& sibling : options.siblings) {
    aac::AudioConfig c;
    if (!DeclaredAac(sibling.layout, &c) || c.objectType != p.objectType || c.sbr != p.sbr) {
      continue;
    }
    if (c.channelConfig != p.channelConfig || p.channelConfig == 0) continue;
    if (std::find(streams.groupRates.begin(), streams.groupRates.end(), c.rate) ==
        streams.groupRates.end()) {
      continue;
    }
    const Track* track = FirstSound(sibling.layout);
    const double theirs = track != nullptr ? TrackBitrate(*track) : sibling.bitrate;
    const double ours = meanBytes * 8.0 * double(c.rate) / 1024.0;
    if (theirs <= 0 || ours <= 0) continue;
    const double distance = std::fabs(std::log(ours / theirs));
    if (distance > std::log(kSiblingBitrateFactor)) continue;
    const bool sameBrand = sibling.layout.brand == result->container.brand;
    const double score = distance - (sameBrand ? 0.01 : 0);
    if (bestSibling == nullptr || score < bestDistance) {
      bestSibling = &sibling;
      siblingRate = c.rate;
      bestDistance = score;
    }
  }
  if (bestSibling != nullptr) {
    Certain(&p, siblingRate * factor, RateSource::kSibling, bestSibling->name);
    p.samplingIndex = aac::SamplingIndexFromRate(int(siblingRate));
    return;
  }

  const rate::RateEvidence evidence = rate::WeighRate(
      data, dataSize, frames, {p.samplingIndex, int(p.channels), p.sbr});
  if (evidence.candidates.empty()) return;
  const rate::Candidate& first = evidence.candidates.front();
  p.sbr = evidence.sbr;
  p.rate = first.rate;
  p.samplingIndex = first.samplingIndex;
  p.rateChoice = {};
  p.rateChoice.rate = p.rate;
  p.rateChoice.confidence = evidence.confidence == rate::Confidence::kCertain ? Confidence::kCertain
                            : evidence.confidence == rate::Confidence::kLikely ? Confidence::kLikely
                                                                              : Confidence::kGuess;
  // A guess is the order recorders use the rates in, whatever little the frames said.
  p.rateChoice.source =
      p.rateChoice.confidence == Confidence::kGuess ? RateSource::kAssumed : RateSource::kFrames;
  p.rateChoice.reason = evidence.reason;
  for (std::size_t i = 1; i < evidence.candidates.size(); ++i) {
    p.rateChoice.alternatives.push_back(evidence.candidates[i].rate);
  }
}

}  // namespace quillmend::exact
