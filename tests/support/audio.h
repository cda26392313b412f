#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillmend::test {

// A recording whose noise has a fixed seed, so that its frames, and every fixture cut from
// them, are the same on every run: AAC at 128 kbit/s, 44100 Hz, in an .m4a container.
void MakeSteadyRecording(const std::string& path, double seconds, int channels, int seed = 7);

// Where each audio packet of a recording lies, as ffprobe reports it.
struct PacketPlace {
  std::uint64_t pos;
  std::uint32_t size;
};
std::vector<PacketPlace> ProbePacketPlaces(const std::string& path);

// The bytes before the top-level moov box, found by walking the box headers: what a recorder
// leaves when it stops before writing its index. Empty if there is no moov box.
std::vector<std::uint8_t> CutBeforeIndex(const std::vector<std::uint8_t>& file);

// What the ffmpeg tool reports about a file.
double ProbeDuration(const std::string& path);
int ProbeChannels(const std::string& path);
// The tool's decoding of a file as 16-bit mono at 44100 Hz.
std::vector<std::int16_t> DecodeMono(const std::string& path);

// How closely one signal follows another. The delay of `candidate` behind `reference` is found
// near the start (searched up to maxLag samples either way); then each whole window of `window`
// samples of `reference` gets the normalised cross-correlation with `candidate` at that delay.
// With a non-zero dropStep the candidate may also lack whole blocks of that many samples (lost
// frames): each window then takes the best of the delays shortened by any number of blocks.
struct AudioMatch {
  long lag = 0;
  std::vector<double> windows;
  double Worst() const;
  std::size_t CountAbove(double correlation) const;
};
AudioMatch CompareAudio(const std::vector<std::int16_t>& reference,
                        const std::vector<std::int16_t>& candidate, std::size_t window, long maxLag,
                        long dropStep = 0);

}  // namespace quillmend::test
