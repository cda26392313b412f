#include "verify.h"

#include <cstdio>

#include "core/log_sink.h"
#include "core/words.h"
#include "read_back.h"
#include "result.h"

namespace quillmend::api {
namespace {

// A frame the decoder refuses plays as a glitch of a few tens of milliseconds. Up to one in ten
// of the frames tried, the audio around them is worth keeping; beyond that what came back is
// mostly noise.
constexpr std::uint64_t kMostGlitchesPerTen = 1;
// The SDK's repairs must give back at least nine in ten of the frames found, or their audio.
constexpr double kLeastShare = 0.9;

bool MostlyNoise(const ReadBack& back) {
  const std::uint64_t tried = back.decoded + back.undecodable;
  return tried > 0 && back.undecodable * 10 > tried * kMostGlitchesPerTen;
}

std::string Noise(const ReadBack& back) {
  return std::to_string(back.undecodable) + " of the " +
         std::to_string(back.decoded + back.undecodable) +
         " frames tried do not decode: what came back is mostly noise";
}

}  // namespace

Status Verify(const std::string& output, const Expected& e, qm_result* r) {
  // A stretch at the start, one in the middle and the frames beside damage tell audio from
  // garbage; where the SDK's methods wrote frames the decoder refuses, every frame is decoded so
  // that the count of glitches is the count, not an estimate.
  ReadBack back = ReadBackFile(output, false, e.nearDamage);
  if (e.method != QM_METHOD_EXACT && back.undecodable > 0) back = ReadBackFile(output, true);
  r->frames = back.packets;
  r->seconds = back.seconds;
  r->glitches = back.undecodable;
  if (!back.hasAudio) {
    return Status::Failed(Status::Code::kCheck, "the repaired file does not open: " + back.error,
                          "try another method");
  }
  if (e.method == QM_METHOD_EXACT) {
    if (back.codec != e.codec || back.packets != e.frames || back.channels != e.channels ||
        back.rate != e.rate || MostlyNoise(back)) {
      LogError(">>[!] Read back %s: %s, %d frames, %d Hz, %d channels, %d undecodable",
               output.c_str(), back.codec.c_str(), int(back.packets), int(back.rate),
               int(back.channels), int(back.undecodable));
      return Status::Failed(Status::Code::kCheck,
                            "the repaired file, read back, does not hold the audio found",
                            "please report this file");
    }
    return Status::Ok();
  }
  // The SDK's methods write what they write (the advanced one always stereo): the result tells
  // what the file holds, and is compared with what the frames say.
  r->rate = back.rate;
  r->channels = back.channels;
  if (MostlyNoise(back)) {
    return Status::Failed(Status::Code::kCheck, Noise(back), "use the exact method");
  }
  if (e.method == QM_METHOD_GENERAL && e.frames > 0) {
    if (double(back.packets) < double(e.frames) * kLeastShare) {
      return Status::Failed(Status::Code::kCheck,
                            "only " + std::to_string(back.packets) + " of " +
                                std::to_string(e.frames) +
                                " frames recognised: the recorder's frame heads are not the "
                                "usual ones",
                            "use the exact method, or give a healthy recording");
    }
    if (e.rateKnown && back.rate != e.rate) {
      return Status::Failed(Status::Code::kCheck,
                            "the general repair wrote " + Hz(back.rate) +
                                ", but the recording is " + Hz(e.rate) +
                                ": it would play at the wrong speed",
                            "use the exact method");
    }
  }
  if (e.method == QM_METHOD_ADVANCED && e.seconds > 0 && back.seconds < e.seconds * kLeastShare) {
    return Status::Failed(Status::Code::kCheck,
                          "the output holds " + SecondsText(back.seconds) + " of the " +
                              SecondsText(e.seconds) + " found: the ffmpeg tool stopped part-way",
                          "try again, or use the exact method");
  }
  if (back.packets == 0) {
    return Status::Failed(Status::Code::kCheck, "the repaired file holds no audio",
                          "try another method");
  }
  return Status::Ok();
}

bool PlaysAlready(const std::string& input, std::uint64_t framesFound, double* seconds) {
  const ReadBack back = ReadBackFile(input);
  *seconds = back.seconds;
  return back.hasAudio && back.undecodable == 0 && back.packets == framesFound;
}

}  // namespace quillmend::api
