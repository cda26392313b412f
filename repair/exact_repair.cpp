#include "exact_repair.h"

#include <algorithm>

#include "aac/audio_config.h"
#include "alac/frame.h"
#include "alac/magic_cookie.h"
#include "convert/m4a_writer.h"
#include "find_streams.h"
#include "frame_walk.h"
#include "track_split.h"

namespace quillmend::exact {
namespace {

// The audio a lost stretch probably held: its bytes at the stream's mean frame size, less the
// share of the media that other tracks' samples take. A run of one repeated byte after the last
// frame is space a recorder reserved, not lost audio.
void EstimateLoss(const std::uint8_t* data, WalkResult* result) {
  std::uint64_t bytes = 0, otherBytes = 0;
  for (const FrameRef& f : result->frames) bytes += f.size;
  for (const OtherSpan& o : result->others) otherBytes += o.length;
  const double mean = result->frames.empty() ? 0 : double(bytes) / double(result->frames.size());
  const double audioShare =
      bytes + otherBytes == 0 ? 1 : double(bytes) / double(bytes + otherBytes);
  const std::uint64_t last = result->frames.empty() ? 0 : result->frames.back().offset;
  for (Stretch& s : result->damage) {
    const std::uint8_t* p = data + s.offset;
    const bool filler = std::all_of(p, p + s.length, [&](std::uint8_t b) { return b == p[0]; });
    if ((filler && s.offset > last) || mean <= 0) {
      s.estimatedFrames = 0;
    } else {
      s.estimatedFrames =
          static_cast<std::uint32_t>(std::max(1.0, double(s.length) * audioShare / mean + 0.5));
    }
  }
}

std::string Describe(const Track& t) {
  const char* kind = t.kind == TrackKind::kSound   ? "sound"
                     : t.kind == TrackKind::kVideo ? "video"
                                                   : "other";
  std::string format;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = char((t.entry.format >> shift) & 0xff);
    format += c >= 0x20 && c < 0x7f ? c : '?';
  }
  std::string text = std::string(kind) + ": " + format;
  if (t.kind == TrackKind::kSound) {
    if (t.entry.channels != 0) text += ", " + std::to_string(t.entry.channels) + " ch";
    if (t.entry.rate != 0) text += ", " + std::to_string(t.entry.rate) + " Hz";
  }
  if (t.sampleCount != 0) text += ", " + std::to_string(t.sampleCount) + " samples";
  return text;
}

void TakeContainer(const ContainerLayout& c, WalkResult* result) {
  ContainerFacts& facts = result->container;
  facts.brand = c.brand;
  facts.moov = c.moov;
  facts.indexSource = c.indexSource;
  facts.indexedFrames = c.indexedFrames;
  facts.mdatFound = c.mdatFound;
  facts.mdatCut = c.mdatCut;
  facts.fragmented = !c.fragments.empty();
  for (const MediaRange& range : c.media) facts.mediaRegions.emplace_back(range.begin, range.end);
  for (const Track& t : c.tracks) {
    facts.tracks.push_back(Describe(t));
    if (t.kind == TrackKind::kVideo) result->video = true;
  }
}

// Sound tracks of one setting read as one stream: an index that says whose chunk is where tells
// their frames apart, the file's own first, else the sample's order of chunks; without one they
// are not written as one.
Status SplitSameTracks(const std::uint8_t* data, const ContainerLayout& container,
                       const WalkOptions& options, const FrameSyntax& syntax, WalkResult* result) {
  const std::vector<std::size_t> own = SameSettingTracks(container);
  const std::vector<std::size_t> theirs =
      options.sample ? SameSettingTracks(options.sample->layout) : std::vector<std::size_t>{};
  std::vector<std::uint8_t> tracksOf;
  std::vector<std::uint32_t> ids;
  bool split = false;
  if (!own.empty() && container.indexSource == IndexSource::kMoov &&
      SplitByIndex(container, own, 0, result->frames, &tracksOf)) {
    split = true;
    for (std::size_t t : own) ids.push_back(container.tracks[t].id);
  } else {
    std::optional<ChunkPattern> pattern;
    if (!theirs.empty()) pattern = PatternOf(options.sample->layout, theirs);
    if (!pattern && !own.empty()) pattern = PatternOf(container, own);
    if (pattern) {
      SplitByPattern(data, syntax, *pattern, 0, result->damage, result->frames, &tracksOf);
      std::vector<FrameRef> first;
      for (const FrameRef& f : result->frames) {
        if (f.stream == 0) first.push_back(f);
      }
      split = !own.empty() || SplitHolds(data, syntax, first, tracksOf);
      if (!split) return Status::Ok();
      for (std::size_t t : own) ids.push_back(container.tracks[t].id);
    }
  }
  if (!split) {
    const bool interleaved = LooksInterleaved(data, syntax, [&] {
      std::vector<FrameRef> first;
      for (const FrameRef& f : result->frames) {
        if (f.stream == 0) first.push_back(f);
      }
      return first;
    }());
    if (!own.empty() || interleaved) {
      result->sameTracks = std::uint32_t(std::max<std::size_t>(2, own.size()));
      return Status::Failed(
          Status::Code::kNeedsSample,
          std::to_string(result->sameTracks) +
              " sound tracks with the same settings share the file, and nothing left in it tells "
              "their frames apart: written as one, the sound would switch between them all the "
              "time",
          "give a healthy recording made by the same program with the same tracks: it tells "
          "them apart");
    }
    return Status::Ok();
  }
  std::uint8_t count = 0;
  for (const std::uint8_t t : tracksOf) count = std::max<std::uint8_t>(count, t + 1);
  // Track 0 keeps the stream's place; each further one becomes a stream of its own.
  std::vector<std::uint8_t> index(count, 0);
  for (std::uint8_t t = 1; t < count; ++t) {
    index[t] = std::uint8_t(result->streams.size());
    StreamParams copy = result->streams[0];
    copy.trackId = t < ids.size() ? ids[t] : 0;
    result->streams.push_back(copy);
  }
  if (!ids.empty()) result->streams[0].trackId = ids[0];
  std::size_t k = 0;
  for (FrameRef& f : result->frames) {
    if (f.stream == 0) f.stream = index[tracksOf[k++]];
  }
  return Status::Ok();
}

// A stream the first search took for one (a few frames of another track's kind that chained by
// chance) that no frame of the walk belongs to is none.
void DropEmptyStreams(Streams* streams, WalkResult* result) {
  std::vector<std::uint64_t> frames(result->streams.size(), 0);
  for (const FrameRef& f : result->frames) ++frames[f.stream];
  std::vector<std::uint8_t> index(frames.size(), 0);
  std::size_t kept = 0;
  for (std::size_t s = 0; s < frames.size(); ++s) {
    index[s] = std::uint8_t(kept);
    if (frames[s] == 0) continue;
    if (kept != s) {
      result->streams[kept] = std::move(result->streams[s]);
      streams->found[kept] = std::move(streams->found[s]);
    }
    ++kept;
  }
  result->streams.resize(kept);
  streams->found.resize(kept);
  for (FrameRef& f : result->frames) f.stream = index[f.stream];
}

}  // namespace

const char* RateSourceName(RateSource source) {
  switch (source) {
    case RateSource::kOption:
      return "option";
    case RateSource::kSample:
      return "sample";
    case RateSource::kHeader:
      return "header";
    case RateSource::kSibling:
      return "sibling";
    case RateSource::kFrames:
      return "frames";
    case RateSource::kAssumed:
      break;
  }
  return "assumed";
}

const char* ConfidenceName(Confidence confidence) {
  switch (confidence) {
    case Confidence::kCertain:
      return "certain";
    case Confidence::kLikely:
      return "likely";
    case Confidence::kGuess:
      break;
  }
  return "guess";
}

double WalkResult::SecondsPerFrame(std::size_t stream) const {
  if (stream >= streams.size() || streams[stream].rate == 0) return 0;
  return double(streams[stream].samplesPerFrame) / double(streams[stream].rate);
}

Status Walk(const std::uint8_t* data, std::uint64_t size, const WalkOptions& options,
            WalkResult* result) {
  *result = {};
  const ContainerLayout container = ReadContainer(data, size);
  TakeContainer(container, result);
  std::uint64_t total = 0;
  for (const MediaRange& range : container.media) total += range.end - range.begin;

  Streams streams = FindStreams(data, container, options, result);
  for (const FoundStream& s : streams.found) result->streams.push_back(s.params);
  if (!streams.status.ok()) return streams.status;

  std::vector<const FrameSyntax*> syntaxes;
  for (const FoundStream& s : streams.found) syntaxes.push_back(s.syntax.get());
  std::vector<const OtherSamples*> others;
  for (const auto& o : streams.others) others.push_back(o.get());
  if (!others.empty()) result->video = true;
  const FrameWalker walker(data, syntaxes, others, options.passed);
  std::uint64_t before = 0;
  bool stopped = false;
  for (const MediaRange& range : container.media) {
    RangeWalk walk;
    walker.WalkSplit(range.begin, range.end, range.boxed, &walk, [&](std::uint64_t done) {
      stopped = options.progress && options.progress(double(before + done) / double(total));
      return stopped;
    });
    if (stopped) return Status::Cancelled();
    before += range.end - range.begin;
    const std::size_t kept = result->frames.size();
    for (Stretch s : walk.damage) {
      s.framesBefore += kept;
      result->damage.push_back(s);
    }
    result->frames.insert(result->frames.end(), walk.frames.begin(), walk.frames.end());
    result->others.insert(result->others.end(), walk.others.begin(), walk.others.end());
  }
  if (result->frames.empty()) return Status::Failed(Status::Code::kNoAudio, "no audio was found");
  if (!result->others.empty()) result->video = true;
  DropEmptyStreams(&streams, result);
  for (std::size_t s = 0; s < result->streams.size(); ++s) {
    if (result->streams[s].rate == 0) ChooseRate(data, size, streams, options, s, result);
  }
  if (const Status s = SplitSameTracks(data, container, options, *streams.found[0].syntax, result);
      !s.ok()) {
    return s;
  }
  EstimateLoss(data, result);
  if (options.passed) options.passed(0, size);
  return Status::Ok();
}

Status WriteM4a(const std::uint8_t* data, const WalkResult& walk, std::size_t stream,
                bool keepTiming, const std::filesystem::path& path, std::uint64_t* framesWritten,
                const std::function<bool(double)>& progress, const PassedFn& passed) {
  const StreamParams& p = walk.streams[stream];
  const bool lossless = p.codec == Codec::kAlac;
  const auto failed = [](const std::string& why) {
    return Status::Failed(Status::Code::kOutput, why);
  };
  AudioFormat format;
  format.channels = p.channels;
  std::optional<alac::Config> alacConfig;
  if (lossless) {
    alacConfig = alac::ParseCookie(p.alacCookie.data(), p.alacCookie.size());
    if (!alacConfig)
      return Status::Failed(Status::Code::kInternal, "the stream's cookie is unreadable");
    // A cookie learnt from the frames knows no rate until one was chosen.
    alacConfig->sampleRate = p.rate;
    format.codec = AudioCodec::kAlac;
    format.rate = p.rate;
    format.config = alac::MakeCookie(*alacConfig);
    format.frameSamples = alacConfig->frameLength;
  } else {
    // A layout that no channel configuration describes would need a program config element in
    // the header; such a stream is written as the configuration with its channel count.
    const int config =
        p.channelConfig != 0 ? p.channelConfig : int(std::min<std::uint32_t>(p.channels, 7));
    const std::uint32_t coreRate = p.sbr ? p.rate / 2 : p.rate;
    const int index = aac::SamplingIndexFromRate(int(coreRate));
    aac::AudioConfig header;
    header.objectType = aac::ObjectType(p.objectType);
    header.samplingIndex = index >= 0 ? index : p.samplingIndex;
    header.rate = coreRate;
    header.channelConfig = config;
    // HE-AAC is signalled explicitly, so that players run SBR and play at the full rate.
    header.sbr = p.sbr;
    header.ps = p.ps;
    header.extensionRate = p.sbr ? p.rate : 0;
    format.rate = coreRate;
    format.config = aac::MakeAudioConfig(header);
  }
  M4aWriter writer;
  if (std::string e = writer.Open(path, format); !e.empty()) return failed(e);
  // Lossless streams have no silent frame of ours: their lost stretches are joined.
  if (lossless) keepTiming = false;
  const std::vector<std::uint8_t> silence =
      lossless ? std::vector<std::uint8_t>{} : aac::MakeSilentFrame(p.layout);
  std::size_t last = walk.frames.size();
  for (std::size_t i = walk.frames.size(); i-- > 0;) {
    if (walk.frames[i].stream == stream) {
      last = i;
      break;
    }
  }
  std::size_t nextDamage = 0;
  std::uint64_t written = 0, taken = 0;
  const std::size_t total = walk.frames.size();
  std::uint64_t releasedTo = 0;
  for (std::size_t i = 0; i < total; ++i) {
    while (keepTiming && nextDamage < walk.damage.size() &&
           walk.damage[nextDamage].framesBefore <= i) {
      // Only a stretch between frames is filled: after the last frame nothing keeps its place.
      if (taken > 0) {
        for (std::uint32_t k = 0; k < walk.damage[nextDamage].estimatedFrames; ++k, ++written) {
          if (std::string e = writer.Write(silence.data(), std::uint32_t(silence.size()));
              !e.empty()) {
            return failed(e);
          }
        }
      }
      ++nextDamage;
    }
    const FrameRef& f = walk.frames[i];
    if (f.stream != stream) continue;
    // Only a stream's last frame may hold fewer samples than the others, and it says so.
    std::uint32_t samples = 0;
    if (lossless && i == last)
      samples = alac::ParseFrame(data + f.offset, f.size, *alacConfig).samples;
    if (std::string e = writer.Write(data + f.offset, f.size, samples); !e.empty()) {
      return failed(e);
    }
    ++written;
    ++taken;
    if (i % 4096 == 0) {
      if (progress && progress(double(i) / double(total))) return Status::Cancelled();
      // Frames are written in the order they lie in the file.
      if (passed && f.offset > releasedTo) {
        passed(releasedTo, f.offset);
        releasedTo = f.offset;
      }
    }
  }
  if (std::string e = writer.Close(); !e.empty()) return failed(e);
  *framesWritten = written;
  return Status::Ok();
}

}  // namespace quillmend::exact
