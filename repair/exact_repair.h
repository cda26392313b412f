#pragma once
// The exact repair: every AAC frame whose bytes survived, found by the frames' own syntax,
// copied byte for byte into a new MP4 file. No frame heads, no intermediate file, no re-encode.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "aac/raw_data_block.h"

namespace quillmend::exact {

// How the audio is coded, as far as the output's AudioSpecificConfig needs to know.
struct StreamParams {
  int samplingIndex = -1;
  std::uint32_t rate = 0;         // Hz
  bool rateAssumed = false;       // the frames fit a group of rates; this one was chosen
  std::string rateSource;         // "sample", "file", "option" or "frames"
  std::uint32_t channels = 0;
  int channelConfig = 0;          // 0: the layout needs a program config element
  bool sbr = false;               // HE-AAC: the frames carry SBR data
  aac::ElementLayout layout;
};

struct FrameRef {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

// A stretch of the media data given up: no frame chain could be read through it.
struct Stretch {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t framesBefore = 0;   // frames kept before it
  std::uint32_t estimatedFrames = 0;  // frames it probably held
};

// The state the container was found in.
struct ContainerFacts {
  std::string brand;              // the ftyp's major brand, "" without a readable ftyp
  bool moov = false;              // a moov box with a usable audio sample description
  std::uint64_t indexedFrames = 0;  // frames the moov's sample table lists (0: none)
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mediaRegions;  // [begin, end)
  bool mdatFound = false;         // false: no mdat box; the whole file was searched
  bool mdatCut = false;           // an mdat's size runs past the end of the file
};

// Told that a walk or a write will not read the bytes in [begin, end) again, so that a mapped
// file's pages can leave resident memory behind it.
using PassedFn = std::function<void(std::uint64_t begin, std::uint64_t end)>;

struct WalkOptions {
  std::vector<std::uint8_t> sampleConfig;  // a healthy sample's AudioSpecificConfig, or empty
  std::uint32_t rateHz = 0;                // the caller's word on the rate, or 0
  // Called now and then with the fraction done; true means stop.
  std::function<bool(double)> progress;
  // Told of the bytes the walk is done with (all of them when it ends).
  PassedFn passed;
};

struct WalkResult {
  StreamParams params;
  std::vector<FrameRef> frames;
  std::vector<Stretch> damage;
  ContainerFacts container;
  double SecondsPerFrame() const { return params.rate ? 1024.0 / params.rate : 0; }
};

enum class WalkStatus { kOk, kNoAudio, kStopped, kBadSampleConfig };

// Finds the media data and every frame in it. `data` is the whole damaged file.
WalkStatus Walk(const std::uint8_t* data, std::uint64_t size, const WalkOptions& options,
                WalkResult* result);

// The AudioSpecificConfig of a healthy recording's first AAC track (from its esds), or empty.
std::vector<std::uint8_t> ReadAudioConfig(const std::uint8_t* data, std::uint64_t size);

// Writes the frames into a new MP4 file at `path` through FFmpeg's muxer. With keepTiming, each
// damaged stretch becomes silent frames of its estimated length. Returns "" or the reason.
std::string WriteM4a(const std::uint8_t* data, const WalkResult& walk, bool keepTiming,
                     const std::filesystem::path& path, std::uint64_t* framesWritten,
                     const std::function<bool(double)>& progress, const PassedFn& passed = {});

}  // namespace quillmend::exact
