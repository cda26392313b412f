#include "exact_repair.h"

#include <algorithm>
#include <array>

#include "aac/audio_config.h"
#include "convert/m4a_writer.h"
#include "frame_walk.h"
#include "mp4/container.h"

namespace quillmend::exact {
namespace {

// How much media data the rate and layout probe reads per candidate.
constexpr std::uint64_t kProbeBytes = std::uint64_t{1} << 20;

// Band-table groups, in the order a tie is settled, each with the rate assumed for it and the
// rates it stands for. Within a group the frames cannot tell the rates apart; 32 kHz shares the
// 48 kHz tables up to the bands above about 14.5 kHz and is told apart only when a frame uses
// them. A group's rate is its most common one: 44.1 kHz, the rate of most AAC recordings in
// circulation, and its halves.
struct RateGroup {
  int samplingIndex;
  std::uint32_t assumed;
};
constexpr std::array<RateGroup, 7> kGroups{{
    {3, 44100},  // 48000, 44100 (and 32000 when no frame tells it apart)
    {5, 32000},
    {6, 22050},  // 24000, 22050
    {8, 16000},  // 16000, 12000, 11025
    {11, 8000},
    {2, 64000},
    {0, 96000},  // 96000, 88200
}};

// The first media range that holds a chain of frames with this sampling index.
Probe ProbeMedia(const std::uint8_t* data, const ContainerLayout& container, int samplingIndex) {
  for (const MediaRange& range : container.media) {
    Probe probe = ProbeFrames(data, range.begin, range.end, samplingIndex, kProbeBytes);
    if (probe.found) return probe;
  }
  return {};
}

void SetLayout(const aac::ElementLayout& layout, StreamParams* params) {
  params->layout = layout;
  params->channels = static_cast<std::uint32_t>(layout.Channels());
  params->channelConfig = aac::ChannelConfigFor(layout);
}

// The stream's parameters from what the caller or the file's header knows, or from the frames.
WalkStatus FindParams(const std::uint8_t* data, const ContainerLayout& container,
                      const WalkOptions& options, StreamParams* params) {
  aac::AudioConfig known;
  const bool fromSample = !options.sampleConfig.empty();
  if (fromSample && !aac::ParseAudioConfig(options.sampleConfig, &known)) {
    return WalkStatus::kBadSampleConfig;
  }
  const bool fromFile =
      !fromSample && container.moov && aac::ParseAudioConfig(container.audioConfig, &known);
  int index = known.samplingIndex;
  if (options.rateHz != 0) index = aac::SamplingIndexFromRate(int(options.rateHz));

  if (fromSample || fromFile || options.rateHz != 0) {
    const Probe probe = ProbeMedia(data, container, index);
    const bool fits = probe.found && (known.channelConfig == 0 || options.rateHz != 0 ||
                                      aac::ChannelConfigFor(probe.layout) == known.channelConfig);
    if (fits) {
      params->samplingIndex = index;
      params->rate = options.rateHz != 0 ? options.rateHz : known.rate;
      params->rateSource = options.rateHz != 0 ? "option" : fromSample ? "sample" : "file";
      params->sbr = (fromSample || fromFile) && known.sbr;
      SetLayout(probe.layout, params);
      return WalkStatus::kOk;
    }
    // A file header that contradicts the frames is damage too; the frames decide. A sample or
    // a rate the caller gave is the caller's word, and a contradiction is reported.
    if (fromSample) {
      StreamParams inferred;
      if (FindParams(data, container, {}, &inferred) == WalkStatus::kOk) *params = inferred;
      return WalkStatus::kBadSampleConfig;
    }
    if (options.rateHz != 0) return WalkStatus::kNoAudio;
  }

  // From the frames alone: each band-table group is tried, and the one whose chains hold the
  // most frames wins; a tie goes to the earlier group.
  Probe best;
  int bestGroup = -1;
  bool tie32 = false;
  for (std::size_t g = 0; g < kGroups.size(); ++g) {
    const Probe probe = ProbeMedia(data, container, kGroups[g].samplingIndex);
    if (probe.found && probe.bytes > best.bytes) {
      best = probe;
      bestGroup = int(g);
    } else if (probe.found && bestGroup == 0 && g == 1 && probe.bytes == best.bytes) {
      tie32 = true;
    }
  }
  if (bestGroup < 0) return WalkStatus::kNoAudio;
  params->samplingIndex = aac::SamplingIndexFromRate(int(kGroups[bestGroup].assumed));
  params->rate = kGroups[bestGroup].assumed;
  params->rateSource = "frames";
  // Only 32, 64 and 8 kHz have band tables of their own.
  const int own = kGroups[bestGroup].samplingIndex;
  params->rateAssumed = tie32 || own == 3 || own == 6 || own == 8 || own == 0;
  SetLayout(best.layout, params);
  return WalkStatus::kOk;
}

// The audio a lost stretch probably held: its bytes at the stream's mean frame size. A run of
// one repeated byte after the last frame is space a recorder reserved, not lost audio.
void EstimateLoss(const std::uint8_t* data, WalkResult* result) {
  std::uint64_t bytes = 0;
  for (const FrameRef& f : result->frames) bytes += f.size;
  const double mean = result->frames.empty() ? 0 : double(bytes) / double(result->frames.size());
  const std::uint64_t last = result->frames.empty() ? 0 : result->frames.back().offset;
  for (Stretch& s : result->damage) {
    const std::uint8_t* p = data + s.offset;
    const bool filler = std::all_of(p, p + s.length, [&](std::uint8_t b) { return b == p[0]; });
    if ((filler && s.offset > last) || mean <= 0) {
      s.estimatedFrames = 0;
    } else {
      s.estimatedFrames = static_cast<std::uint32_t>(std::max(1.0, double(s.length) / mean + 0.5));
    }
  }
}

}  // namespace

WalkStatus Walk(const std::uint8_t* data, std::uint64_t size, const WalkOptions& options,
                WalkResult* result) {
  *result = {};
  const ContainerLayout container = ReadContainer(data, size);
  result->container.brand = container.brand;
  result->container.moov = container.moov;
  result->container.indexedFrames = container.indexedFrames;
  result->container.mdatFound = container.mdatFound;
  result->container.mdatCut = container.mdatCut;
  std::uint64_t total = 0;
  for (const MediaRange& range : container.media) {
    result->container.mediaRegions.emplace_back(range.begin, range.end);
    total += range.end - range.begin;
  }

  const WalkStatus found = FindParams(data, container, options, &result->params);
  if (found != WalkStatus::kOk) return found;

  const FrameWalker walker(data, result->params.samplingIndex, result->params.layout,
                           options.passed);
  std::uint64_t before = 0;
  bool stopped = false;
  for (const MediaRange& range : container.media) {
    RangeWalk walk;
    walker.WalkSplit(range.begin, range.end, range.boxed, &walk, [&](std::uint64_t done) {
      stopped = options.progress && options.progress(double(before + done) / double(total));
      return stopped;
    });
    if (stopped) return WalkStatus::kStopped;
    before += range.end - range.begin;
    const std::size_t kept = result->frames.size();
    for (Stretch s : walk.damage) {
      s.framesBefore += kept;
      result->damage.push_back(s);
    }
    result->frames.insert(result->frames.end(), walk.frames.begin(), walk.frames.end());
  }
  if (result->frames.empty()) return WalkStatus::kNoAudio;
  EstimateLoss(data, result);
  if (options.passed) options.passed(0, size);
  return WalkStatus::kOk;
}

std::vector<std::uint8_t> ReadAudioConfig(const std::uint8_t* data, std::uint64_t size) {
  return ReadContainer(data, size).audioConfig;
}

std::string WriteM4a(const std::uint8_t* data, const WalkResult& walk, bool keepTiming,
                     const std::filesystem::path& path, std::uint64_t* framesWritten,
                     const std::function<bool(double)>& progress, const PassedFn& passed) {
  const StreamParams& p = walk.params;
  // A layout that no channel configuration describes would need a program config element in
  // the header; such a stream is written as the configuration with its channel count.
  const int config = p.channelConfig != 0 ? p.channelConfig : int(std::min<std::uint32_t>(p.channels, 7));
  M4aWriter writer;
  if (std::string e = writer.Open(path, p.rate, p.channels, aac::MakeAudioConfig(p.samplingIndex, config));
      !e.empty()) {
    return e;
  }
  const std::vector<std::uint8_t> silence = aac::MakeSilentFrame(p.layout);
  std::size_t nextDamage = 0;
  std::uint64_t written = 0;
  for (std::size_t i = 0; i < walk.frames.size(); ++i) {
    while (keepTiming && nextDamage < walk.damage.size() &&
           walk.damage[nextDamage].framesBefore <= i) {
      // Only a stretch between frames is filled: after the last frame nothing keeps its place.
      if (i > 0) {
        for (std::uint32_t k = 0; k < walk.damage[nextDamage].estimatedFrames; ++k, ++written) {
          if (std::string e = writer.Write(silence.data(), std::uint32_t(silence.size())); !e.empty()) {
            return e;
          }
        }
      }
      ++nextDamage;
    }
    const FrameRef& f = walk.frames[i];
    if (std::string e = writer.Write(data + f.offset, f.size); !e.empty()) return e;
    ++written;
    if (i % 4096 == 0) {
      if (progress && progress(double(i) / double(walk.frames.size()))) return "stopped";
      // Frames are written in the order they lie in the file.
      if (passed && i > 0) passed(walk.frames[i - 4096].offset, f.offset);
    }
  }
  if (std::string e = writer.Close(); !e.empty()) return e;
  *framesWritten = written;
  return {};
}

}  // namespace quillmend::exact
