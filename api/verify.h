#pragma once
// The read-back that makes a repair a repair: the output, opened and decoded by FFmpeg, must
// hold the audio the repair says it holds. The rules, in plain words, are in the README.
#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"
#include "quillmend.h"

namespace quillmend::api {

struct Expected {
  qm_method method = QM_METHOD_EXACT;
  std::string codec = "aac";  // FFmpeg's name of the codec the output must carry
  std::uint64_t frames = 0;   // exact: written; the SDK's methods: found by the walk (0: unknown)
  std::uint32_t rate = 0;     // Hz as it plays; 0: unknown
  bool rateKnown = false;     // the rate is certain, so the output must have it
  std::uint32_t channels = 0;
  double seconds = 0;                     // advanced: the audio the frames found hold
  std::vector<std::uint64_t> nearDamage;  // output frame indexes next to damaged stretches
};

// What the output holds, into the result's frames, seconds, glitches (and rate and channels
// for the SDK's methods, which write what they write); a failure says why.
Status Verify(const std::string& outputUtf8, const Expected& expected, qm_result* result);

// A file that FFmpeg plays as it is, every packet of which decodes and which holds as many
// frames as the walk found, is not damaged: a "repair" could only make it worse.
bool PlaysAlready(const std::string& inputUtf8, std::uint64_t framesFound, double* seconds);

}  // namespace quillmend::api
