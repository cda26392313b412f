#include "support/audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "support/test_support.h"

namespace quillmend::test {

void MakeSteadyRecording(const std::string& path, double seconds, int channels, int seed) {
  // Each channel has noise of its own seed, so that the channels of a stereo recording differ.
  std::ostringstream graph;
  for (int c = 0; c < channels; ++c) {
    graph << "anoisesrc=color=pink:amplitude=0.3:sample_rate=44100:seed=" << seed + c
          << ":duration=" << seconds << "[c" << c << "];";
  }
  for (int c = 0; c < channels; ++c) graph << "[c" << c << "]";
  graph << "join=inputs=" << channels << ":channel_layout=" << (channels == 1 ? "mono" : "stereo")
        << "[a]";
  const std::string command = "ffmpeg -nostdin -v error -y -filter_complex \"" + graph.str() +
                              "\" -map \"[a]\" -c:a aac -b:a 128k " + Quote(path);
  ASSERT_EQ(Run(command), 0) << command;
}

std::vector<PacketPlace> ProbePacketPlaces(const std::string& path) {
  std::string output;
  const std::string command =
      "ffprobe -v error -select_streams a:0 -show_entries "
      "packet=pos,size -of default=nw=1 " +
      Quote(path);
  if (Run(command, &output) != 0) throw std::runtime_error("ffprobe failed: " + command);
  std::vector<PacketPlace> places;
  std::istringstream in(output);
  PacketPlace place{};
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("size=", 0) == 0)
      place.size = static_cast<std::uint32_t>(std::stoul(line.substr(5)));
    if (line.rfind("pos=", 0) == 0) {
      place.pos = std::stoull(line.substr(4));
      places.push_back(place);
    }
  }
  return places;
}

std::vector<std::uint8_t> CutBeforeIndex(const std::vector<std::uint8_t>& file) {
  std::uint64_t at = 0;
  while (at + 8 <= file.size()) {
    std::uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | file[at + i];
    if (std::memcmp(&file[at + 4], "moov", 4) == 0) {
      return std::vector<std::uint8_t>(file.begin(), file.begin() + static_cast<long>(at));
    }
    if (size == 1 && at + 16 <= file.size()) {
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | file[at + i];
    }
    if (size < 8) break;
    at += size;
  }
  return {};
}

namespace {

std::string Probe(const std::string& path, const std::string& entries) {
  std::string output;
  const std::string command = "ffprobe -v error -select_streams a:0 -show_entries " + entries +
                              " -of csv=p=0 " + Quote(path);
  if (Run(command, &output) != 0) throw std::runtime_error("ffprobe failed: " + command);
  return output;
}

}  // namespace

double ProbeDuration(const std::string& path) { return std::stod(Probe(path, "format=duration")); }

int ProbeChannels(const std::string& path) { return std::stoi(Probe(path, "stream=channels")); }

std::vector<std::int16_t> DecodeMono(const std::string& path) {
  std::string output;
  const std::string command =
      "ffmpeg -nostdin -v error -i " + Quote(path) + " -f s16le -ac 1 -ar 44100 -";
  if (Run(command, &output) != 0) throw std::runtime_error("ffmpeg failed: " + command);
  std::vector<std::int16_t> samples(output.size() / 2);
  std::memcpy(samples.data(), output.data(), samples.size() * 2);
  return samples;
}

namespace {

// Normalised cross-correlation of reference[from, from + count) with candidate shifted by lag.
double Correlation(const std::vector<std::int16_t>& reference,
                   const std::vector<std::int16_t>& candidate, long from, long count, long lag) {
  double both = 0, ref = 0, cand = 0;
  for (long i = from; i < from + count; ++i) {
    const double a = reference[static_cast<std::size_t>(i)];
    const double b = candidate[static_cast<std::size_t>(i + lag)];
    both += a * b;
    ref += a * a;
    cand += b * b;
  }
  return ref > 0 && cand > 0 ? both / std::sqrt(ref * cand) : 0;
}

}  // namespace

double AudioMatch::Worst() const {
  return windows.empty() ? 0 : *std::min_element(windows.begin(), windows.end());
}

std::size_t AudioMatch::CountAbove(double correlation) const {
  return static_cast<std::size_t>(
      std::count_if(windows.begin(), windows.end(), [&](double c) { return c > correlation; }));
}

AudioMatch CompareAudio(const std::vector<std::int16_t>& reference,
                        const std::vector<std::int16_t>& candidate, std::size_t window, long maxLag,
                        long dropStep) {
  AudioMatch match;
  const long refSize = static_cast<long>(reference.size());
  const long candSize = static_cast<long>(candidate.size());
  const long count = static_cast<long>(window);
  // The delay is found on a short stretch after the start, where both signals have audio.
  const long probeFrom = maxLag, probeCount = count / 2;
  if (probeFrom + probeCount + maxLag > std::min(refSize, candSize)) return match;
  double best = -2;
  for (long lag = -maxLag; lag <= maxLag; ++lag) {
    const double c = Correlation(reference, candidate, probeFrom, probeCount, lag);
    if (c > best) {
      best = c;
      match.lag = lag;
    }
  }
  // Blocks may be lost and, where a false frame decoded, others inserted: the delay may move
  // either way, by up to the length difference and some more.
  const long moves = dropStep > 0 ? std::labs(refSize - candSize) / dropStep + 32 : 0;
  for (long from = 0; from + count <= refSize; from += count) {
    double windowBest = -2;
    for (long k = -moves; k <= moves; ++k) {
      const long lag = match.lag - k * dropStep;
      if (from + lag >= 0 && from + lag + count <= candSize) {
        windowBest = std::max(windowBest, Correlation(reference, candidate, from, count, lag));
      }
    }
    if (windowBest > -2) match.windows.push_back(windowBest);
  }
  return match;
}

}  // namespace quillmend::test
