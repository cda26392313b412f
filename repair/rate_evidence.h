#pragma once
// The sampling rate of an AAC stream told from its frames alone, for a recording that nothing
// else speaks for: no header, no healthy recording beside it, no word from the user.
//
// A frame names its rate only through the band tables it is read with, and rates share tables:
// 48, 44.1 and 32 kHz (32 kHz has bands of its own above 14.5 kHz), 24 and 22.05 kHz, 16, 12 and
// 11.025 kHz, 96 and 88.2 kHz. Within such a group what the encoder derived from its rate still
// shows: the bitrate it was set to comes out round at the true rate only, the band where it cuts
// the spectrum off follows from the bitrate and the rate, and the lengths of its noise-shaping
// filters from the rate's band limits. WeighRate reads those from a bounded number of frames that
// the walk already found and ranks the rates of the group.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "repair/exact_repair.h"

namespace quillmend::rate {

// How sure the weighing is: kCertain when only one rate reads the frames, kLikely when the
// evidence gives the first rate 97 chances in 100 or more, kGuess when the frames tell little
// and the first rate is the one recorders use most.
using exact::Confidence;
using exact::ConfidenceName;

// How the frames were read.
struct StreamShape {
  int samplingIndex = -1;  // the band tables they were read with (with SBR, the core's)
  int channels = 0;
  bool sbr = false;  // HE-AAC: the rate a player plays at is twice the core's
};

struct Candidate {
  std::uint32_t rate = 0;  // Hz, as played: twice the core's rate with SBR
  int samplingIndex = -1;  // the core's, for the AudioSpecificConfig
  double probability = 0;
  double kbps = 0;  // the frames' mean bitrate if this is the rate
};

struct RateEvidence {
  std::vector<Candidate> candidates;  // best first; empty when no frame could be read
  Confidence confidence = Confidence::kGuess;
  // For the user, in plain words, e.g. "its bitrate, 128 kbit/s at 48 kHz, is a round setting
  // (117.6 kbit/s at 44.1 kHz is not)".
  std::string reason;
  std::size_t framesRead = 0;  // frames parsed again for the evidence
  // HE-AAC, as the caller said or as most frames show by their SBR data: each rate is twice its
  // core's, and the core's sampling index is the one to write.
  bool sbr = false;
};

// Ranks the rates of the group that `shape.samplingIndex` belongs to. `frames` lie in
// data[0, size): their offsets and sizes as the walk found them; a frame that does not lie
// inside is passed over. Reads at most a few thousand frames, whatever the length.
RateEvidence WeighRate(const std::uint8_t* data, std::uint64_t size,
                       std::span<const exact::FrameRef> frames, const StreamShape& shape);

}  // namespace quillmend::rate
