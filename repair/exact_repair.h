#pragma once
// The exact repair: every audio frame whose bytes survived, found by the frames' own syntax,
// copied byte for byte into a new MP4 file. No frame heads, no intermediate file, no re-encode.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aac/raw_data_block.h"
#include "core/frame_syntax.h"
#include "core/status.h"
#include "frame_walk.h"
#include "mp4/container.h"

namespace quillmend::exact {

enum class Codec : std::uint8_t { kAac, kAlac };

// Where a stream's sampling rate came from, strongest first.
enum class RateSource : std::uint8_t {
  kOption,   // the caller said so
  kSample,   // a healthy recording the caller gave
  kHeader,   // what is left of the file's own index
  kSibling,  // a healthy recording beside the file, of the same settings
  kFrames,   // the frames themselves
  kAssumed,  // nothing tells: the likeliest rate of the frames' group
};
enum class Confidence : std::uint8_t { kCertain, kLikely, kGuess };

const char* RateSourceName(RateSource source);      // "option", "sample", "header", ...
const char* ConfidenceName(Confidence confidence);  // "certain", "likely", "guess"

struct RateChoice {
  std::uint32_t rate = 0;  // Hz, as the output plays
  RateSource source = RateSource::kAssumed;
  Confidence confidence = Confidence::kGuess;
  std::string file;    // the sample's or the sibling's file name
  std::string reason;  // plain words, e.g. "from its bitrate of 128 kbit/s"
  // The other rates the frames fit, likeliest first; empty when the rate is certain.
  std::vector<std::uint32_t> alternatives;
};

// How one audio stream is coded, as far as the output's header needs to know.
struct StreamParams {
  Codec codec = Codec::kAac;
  // AAC: the band tables' sampling index (the core's, for HE-AAC) and the object type.
  int samplingIndex = -1;
  int objectType = 2;
  bool sbr = false;        // HE-AAC: the output plays at twice the core rate
  bool ps = false;         // HE-AAC v2
  std::uint32_t rate = 0;  // Hz, as the output plays
  RateChoice rateChoice;
  std::uint32_t channels = 0;
  int channelConfig = 0;  // AAC: 0 when the layout needs a program config element
  aac::ElementLayout layout;
  std::vector<std::uint8_t> alacCookie;  // ALAC: the magic cookie the output carries
  std::uint32_t bitDepth = 0;            // ALAC
  std::uint32_t samplesPerFrame = 1024;
  std::uint32_t trackId = 0;  // the track the file's index gave it, 0 when unknown
  bool rateAssumed() const { return rateChoice.confidence != Confidence::kCertain; }
  // Whether two streams are coded alike, so that their frames cannot be told apart.
  bool SameCoding(const StreamParams& o) const {
    return codec == o.codec && samplingIndex == o.samplingIndex && objectType == o.objectType &&
           sbr == o.sbr && channels == o.channels && layout == o.layout && bitDepth == o.bitDepth &&
           alacCookie == o.alacCookie;
  }
};

// The state the container was found in.
struct ContainerFacts {
  std::string brand;  // the ftyp's major brand, "" without a readable ftyp
  bool moov = false;  // a moov box with a usable audio sample description
  IndexSource indexSource = IndexSource::kNone;
  std::uint64_t indexedFrames = 0;  // frames the index lists for the first sound track
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mediaRegions;  // [begin, end)
  bool mdatFound = false;   // false: no mdat box; the whole file was searched
  bool mdatCut = false;     // an mdat's size runs past the end of the file
  bool fragmented = false;  // moof boxes were found
  // The tracks the index lists, as "sound: AAC 2 ch 48 kHz" lines for a person.
  std::vector<std::string> tracks;
};

// A healthy recording's header: the caller's sample, or a file beside the damaged one.
struct Reference {
  std::string name;  // its file name, for messages
  ContainerLayout layout;
  double bitrate = 0;  // bits per second of its first sound track, 0 when unknown
};

// Told that a walk or a write will not read the bytes in [begin, end) again.
struct WalkOptions {
  std::optional<Reference> sample;  // wins over everything but rateHz
  std::vector<Reference> siblings;  // healthy recordings beside the file
  std::uint32_t rateHz = 0;         // the caller's word on the rate, or 0
  // Called now and then with the fraction done; true means stop.
  std::function<bool(double)> progress;
  // Told of the bytes the walk is done with (all of them when it ends).
  PassedFn passed;
};

struct WalkResult {
  std::vector<StreamParams> streams;  // FrameRef::stream indexes it
  std::vector<FrameRef> frames;
  std::vector<Stretch> damage;
  std::vector<OtherSpan> others;  // another track's samples stepped over
  ContainerFacts container;
  bool video = false;  // the file holds a video track: only its sound comes back
  // After a mismatch: the rates and channel counts the frames do fit.
  std::vector<std::uint32_t> fittingRates;
  std::uint32_t fittingChannels = 0;
  // After kNeedsSample: how many sound tracks share every parameter.
  std::uint32_t sameTracks = 0;
  double SecondsPerFrame(std::size_t stream = 0) const;
};

// Finds the media data, the audio streams in it and every frame. `data` is the whole file. A
// failure is kNoAudio, kCancelled, kMismatch (the sample's settings or the caller's rate
// contradict the frames: `fittingRates` and `fittingChannels` say what they fit) or kNeedsSample
// (`sameTracks` tracks of one setting that nothing tells apart).
Status Walk(const std::uint8_t* data, std::uint64_t size, const WalkOptions& options,
            WalkResult* result);

// Writes the frames of one stream into a new MP4 file at `path` through FFmpeg's muxer. With
// keepTiming, each damaged stretch becomes silent frames of its estimated length. A failure is
// kCancelled, or kOutput with FFmpeg's reason.
Status WriteM4a(const std::uint8_t* data, const WalkResult& walk, std::size_t stream,
                bool keepTiming, const std::filesystem::path& path, std::uint64_t* framesWritten,
                const std::function<bool(double)>& progress, const PassedFn& passed = {});

}  // namespace quillmend::exact
