// rate_survey FILE...: for each healthy recording, the sampling rate its header names against
// the rate its frames alone would give, with the confidence and the reason, and a count of the
// ones the frames get right. For measuring the rate evidence on recordings from real recorders.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "aac/audio_config.h"
#include "mp4/container.h"
#include "repair/exact_repair.h"
#include "repair/rate_evidence.h"

using namespace quillmend;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s HEALTHY.m4a...\n", argv[0]);
    return 2;
  }
  int right = 0, weighed = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    aac::AudioConfig header;
    exact::WalkResult walk;
    if (!aac::ParseAudioConfig(ReadContainer(bytes.data(), bytes.size()).audioConfig, &header) ||
        !exact::Walk(bytes.data(), bytes.size(), {}, &walk).ok() ||
        walk.streams.empty()) {
      std::printf("%s: no AAC header or frames to compare\n", argv[i]);
      continue;
    }
    const rate::RateEvidence e =
        rate::WeighRate(bytes.data(), bytes.size(), walk.frames,
                        {walk.streams[0].samplingIndex, int(walk.streams[0].channels), header.sbr});
    if (e.candidates.empty()) {
      std::printf("%s: %s\n", argv[i], e.reason.c_str());
      continue;
    }
    const std::uint32_t played = header.rate * (header.sbr ? 2 : 1);
    const bool ok = e.candidates[0].rate == played;
    ++weighed, right += ok;
    std::printf("%s: header %u Hz, frames %u Hz (%s, %.0f %%)%s: %s\n", argv[i], played,
                e.candidates[0].rate, rate::ConfidenceName(e.confidence),
                100 * e.candidates[0].probability, ok ? "" : " WRONG", e.reason.c_str());
  }
  std::printf("%d of %d right\n", right, weighed);
  return 0;
}
