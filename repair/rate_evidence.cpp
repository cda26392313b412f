#include "repair/rate_evidence.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "aac/raw_data_block.h"
#include "aac/tables.h"

namespace quillmend::rate {
namespace {

// Frames parsed again: blocks of consecutive frames (the noise-shaping check looks at a frame's
// predecessor) spread over the whole stream, so that a quiet start does not speak for all of it.
constexpr std::size_t kBlocks = 16;
constexpr std::size_t kBlockFrames = 128;

// The rates of one group of shared band tables, with how often recorders use each: the order
// in which the frames are weighed when they tell nothing (see the README, "Sampling rate").
struct RateInfo {
  std::uint32_t hz;
  int index;
  double prior;     // plain AAC
  double sbrPrior;  // as the core of HE-AAC, whose output is twice the rate
};
constexpr RateInfo k96{96000, 0, 0.7, 0.7}, k88{88200, 1, 0.3, 0.3};
constexpr RateInfo k64{64000, 2, 1, 1};
constexpr RateInfo k48{48000, 3, 0.6, 0.6}, k44{44100, 4, 0.3, 0.3}, k32{32000, 5, 0.1, 0.1};
constexpr RateInfo k24{24000, 6, 0.55, 0.6}, k22{22050, 7, 0.45, 0.4};
constexpr RateInfo k16{16000, 8, 0.7, 0.5}, k12{12000, 9, 0.1, 0.25}, k11{11025, 10, 0.2, 0.25};
// 7350 Hz shares the 8 kHz tables, but no recorder uses it.
constexpr RateInfo k8{8000, 11, 1, 1};

// 48 and 32 kHz share the long-window bands below this one (and all short-window bands).
constexpr int kFirstBandOf32k = 48;

std::vector<RateInfo> GroupOf(int samplingIndex, int topLongBand) {
  switch (samplingIndex) {
    case 0:
    case 1:
      return {k96, k88};
    case 2:
      return {k64};
    case 3:
    case 4:
      // A frame that codes the 48 kHz table's last band would not read with the 32 kHz table.
      if (topLongBand > kFirstBandOf32k) return {k48, k44};
      return {k48, k44, k32};
    case 5:
      if (topLongBand > kFirstBandOf32k) return {k32};
      return {k48, k44, k32};
    case 6:
    case 7:
      return {k24, k22};
    case 8:
    case 9:
    case 10:
      return {k16, k12, k11};
    case 11:
    case 12:
      return {k8};
    default:
      return {};
  }
}

// --- What the frames show -------------------------------------------------------------------

struct TnsFrame {
  std::uint8_t length, maxBand, previousBand;
};

struct Observed {
  double bytesPerFrame = 0;
  std::size_t parsed = 0;
  std::size_t audible = 0;    // frames that code any band
  std::size_t shortOnly = 0;  // of those, frames whose every window is short
  std::size_t padded = 0;     // frames after the first with a fill payload
  std::size_t noiseOrIntensity = 0;
  std::size_t sbr = 0;                    // frames that carry SBR data
  std::vector<std::uint16_t> noiseLines;  // each frame's first noise line, where it has one
  int topLongBand = 0;                    // the highest long-window max_sfb of any frame
  int typicalLongBand = 0;    // the highest one that a quarter of the long-window frames reach
  std::vector<TnsFrame> tns;  // frames with FFmpeg's encoder's noise shaping (see TnsScore)
};

bool Inside(const exact::FrameRef& f, std::uint64_t size) {
  return f.size > 0 && f.offset <= size && f.size <= size - f.offset;
}

Observed Observe(const std::uint8_t* data, std::uint64_t size,
                 std::span<const exact::FrameRef> frames, int samplingIndex) {
  Observed seen;
  std::uint64_t bytes = 0, count = 0;
  for (const exact::FrameRef& f : frames) {
    if (Inside(f, size)) bytes += f.size, ++count;
  }
  if (count == 0) return seen;
  seen.bytesPerFrame = double(bytes) / double(count);

  std::array<std::size_t, 64> longBands{};
  std::size_t longFrames = 0;
  const std::size_t blocks = std::min(kBlocks, (frames.size() + kBlockFrames - 1) / kBlockFrames);
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t first = frames.size() * b / blocks;
    const std::size_t last = std::min(first + kBlockFrames, frames.size() * (b + 1) / blocks);
    int previousBand = -1;
    for (std::size_t i = first; i < last; ++i) {
      const exact::FrameRef& f = frames[i];
      if (!Inside(f, size)) {
        previousBand = -1;
        continue;
      }
      const aac::FrameInfo info = aac::ParseRawDataBlock(data + f.offset, f.size, samplingIndex);
      if (info.status != aac::FrameStatus::kValid) {
        previousBand = -1;
        continue;
      }
      ++seen.parsed;
      if (i > 0 && info.fillBytes > 0) ++seen.padded;
      if (info.intensity || info.firstNoiseLine != 0xFFFF) ++seen.noiseOrIntensity;
      if (info.hasSbr) ++seen.sbr;
      if (info.firstNoiseLine != 0xFFFF) seen.noiseLines.push_back(info.firstNoiseLine);
      if (info.maxLongBand > 0 || info.maxShortBand > 0) ++seen.audible;
      if (info.maxLongBand == 0 && info.maxShortBand > 0) ++seen.shortOnly;
      if (info.maxLongBand > 0) {
        ++longFrames;
        ++longBands[info.maxLongBand & 63];
        seen.topLongBand = std::max<int>(seen.topLongBand, info.maxLongBand);
      }
      // FFmpeg's encoder splits its long-window filter range into two halves of order 6.
      if (info.tnsFilters == 2 && info.tnsOrder[0] == 6 && info.tnsOrder[1] == 6 &&
          info.tnsLength[0] == info.tnsLength[1]) {
        seen.tns.push_back({info.tnsLength[0], info.tnsMaxBand,
                            static_cast<std::uint8_t>(std::max(previousBand, 0))});
      }
      previousBand = info.maxLongBand;
    }
  }
  std::size_t reached = 0;
  for (int band = 63; band > 0 && longFrames > 0 && seen.typicalLongBand == 0; --band) {
    reached += longBands[band];
    if (4 * reached >= longFrames) seen.typicalLongBand = band;
  }
  return seen;
}

// --- The bitrate ----------------------------------------------------------------------------

// Bitrates recorders are set to, in kbit/s, with how often: the round ones first, then the
// in-between steps, then what only low rates use. Per channel values are added for more than
// one channel.
struct Setting {
  double kbps;
  double weight;
};
constexpr std::array<Setting, 22> kSettings{{
    {32, 1},   {48, 1},   {64, 1},   {96, 1},   {128, 1},  {160, 1},   {192, 1},   {256, 1},
    {16, 0.5}, {24, 0.5}, {40, 0.5}, {56, 0.5}, {80, 0.5}, {112, 0.5}, {144, 0.5}, {320, 0.5},
    {8, 0.3},  {12, 0.3}, {20, 0.3}, {28, 0.3}, {36, 0.2}, {224, 0.3},
}};
// FFmpeg's encoder, left at its default, sets 69 kbit/s for each single channel.
constexpr double kFfmpegMonoDefault = 69;

std::vector<Setting> SettingsFor(int channels) {
  std::vector<Setting> settings(kSettings.begin(), kSettings.end());
  if (channels == 1) settings.push_back({kFfmpegMonoDefault, 0.3});
  if (channels > 1) {
    for (const Setting& s : kSettings) {
      if (s.kbps <= 128) settings.push_back({s.kbps * channels, s.weight * 0.5});
    }
  }
  return settings;
}

// How often a stream's bitrate is a setting at all: a constant-bitrate encoder hits it within
// a fraction of a percent (padding where the audio needs fewer bits), an average-bitrate one
// within a few percent; the rest (quality-driven encoders, audio far simpler than the setting,
// silence) spreads over the whole range.
constexpr double kOnSetting = 0.7;
constexpr double kExactShare = 0.5, kExactSpread = 0.006;  // on the natural log of the ratio
constexpr double kAverageShare = 0.5, kAverageSpread = 0.03, kAverageBias = 0;
// Anywhere between 8 and 512 kbit/s, uniform on the log scale.
const double kOffSettingDensity = (1 - kOnSetting) / std::log(512.0 / 8.0);

double Normal(double x, double mean, double spread) {
  const double z = (x - mean) / spread;
  return std::exp(-0.5 * z * z) / (spread * std::sqrt(2 * std::numbers::pi));
}

struct BitrateFit {
  double likelihood = 0;
  double setting = 0;    // the likeliest setting, kbit/s
  double deviation = 1;  // relative distance from it
};

BitrateFit FitBitrate(double kbps, const std::vector<Setting>& settings) {
  double total = 0;
  for (const Setting& s : settings) total += s.weight;
  BitrateFit fit;
  double best = 0;
  for (const Setting& s : settings) {
    const double x = std::log(kbps / s.kbps);
    const double density = kExactShare * Normal(x, 0, kExactSpread) +
                           kAverageShare * Normal(x, kAverageBias, kAverageSpread);
    const double part = kOnSetting * s.weight / total * density;
    fit.likelihood += part;
    if (part > best) {
      best = part;
      fit.setting = s.kbps;
      fit.deviation = std::abs(kbps / s.kbps - 1);
    }
  }
  fit.likelihood += kOffSettingDensity;
  return fit;
}

// --- The encoders' own numbers --------------------------------------------------------------

// How likely any one top band is when nothing predicts it: one of a few dozen.
constexpr double kUnknownBandwidth = 0.05;

// How many long-window bands of a sampling index start below `line` (of 1024).
int BandsStartingBelow(int samplingIndex, int line) {
  int start = 0, bands = 0;
  for (const std::uint8_t width : aac::LongBandWidths(samplingIndex)) {
    if (start >= line) break;
    start += width;
    ++bands;
  }
  return bands;
}

// How many end at or below it.
int BandsEndingBy(int samplingIndex, int line) {
  int end = 0, bands = 0;
  for (const std::uint8_t width : aac::LongBandWidths(samplingIndex)) {
    end += width;
    if (end > line) break;
    ++bands;
  }
  return bands;
}

// FFmpeg's encoder cuts off at a frequency it derives from the bitrate per channel (raised by
// 15 % for its noise and intensity coding, on by default) and zeroes each band that starts at
// or above it.
int FfmpegTopBand(double kbps, int channels, std::uint32_t rate, int samplingIndex) {
  const double most = 6144.0 * channels / 1024.0 * rate;  // it clamps the bitrate to this
  const auto bitrate = static_cast<long>(std::min(kbps * 1000, most));
  const auto b = static_cast<long>(float(bitrate / channels) * 1.15f);
  long bandwidth = std::min({std::max(b / 5, b * 15 / 32 - 5500), 3000 + b / 4, 12000 + b / 16});
  bandwidth = std::min<long>({bandwidth, 22000, long(rate / 2)});
  bandwidth = std::max<long>(3000, bandwidth);
  return BandsStartingBelow(samplingIndex, int(bandwidth * 2 * 1024 / long(rate)));
}

// The VisualOn encoder keeps the bands that end below a frequency it takes from a table of the
// bitrate per channel, a table of its own for each group of rates (measured).
int VisualOnTopBand(double kbps, int channels, const RateInfo& r) {
  const double perChannel = kbps / channels;
  struct Step {
    double belowKbps, hz;
  };
  static constexpr Step k48Steps[] = {{20, 3900},  {28, 6500},  {40, 9700},  {48, 12500},
                                      {56, 14700}, {64, 16900}, {1e9, 20500}};
  static constexpr Step k32Steps[] = {{12, 3200},  {20, 6200},  {24, 9200},
                                      {28, 12200}, {40, 14200}, {1e9, 16000}};
  static constexpr Step k24Steps[] = {{12, 2900}, {16, 4300},  {20, 7200},
                                      {24, 9700}, {28, 10700}, {1e9, 12000}};
  std::span<const Step> steps;
  if (r.hz == 48000 || r.hz == 44100) {
    steps = k48Steps;
  } else if (r.hz == 32000) {
    steps = k32Steps;
  } else if (r.hz == 24000 || r.hz == 22050) {
    steps = k24Steps;
  } else {
    return -1;
  }
  for (const Step& s : steps) {
    if (perChannel < s.belowKbps) {
      return BandsEndingBy(r.index, int(std::min(s.hz, r.hz / 2.0) * 2048 / r.hz));
    }
  }
  return -1;
}

// How likely the typical top band is under an encoder's rule that predicts `predicted`. Below
// the prediction the audio may simply not have reached the cut-off; above it, the rule was not
// this rate's, unless the setting is unknown (an encoder that fell short of a higher one).
double BandwidthScore(int observed, int predicted, bool settingKnown) {
  if (observed == 0) return 1;
  if (predicted < 0) return kUnknownBandwidth;
  const int d = observed - predicted;
  if (d == 0) return 0.8;
  if (d < 0) return d == -1 ? 0.1 : 0.03;
  if (!settingKnown) return 0.03;
  return d == 1 ? 0.02 : 0.002;
}

// Any encoder: the top band's upper edge at this rate, against the most that FFmpeg's or the
// VisualOn encoder ever code at this bitrate per channel, with room for others: no encoder
// spends a low bitrate on the top of the spectrum.
double AnyBandwidthScore(int observed, double kbps, int channels, const RateInfo& r) {
  if (observed == 0) return 1;
  int edge = 0;
  const auto widths = aac::LongBandWidths(r.index);
  for (int band = 0; band < observed && band < int(widths.size()); ++band) edge += widths[band];
  const double hz = edge * double(r.hz) / 2048;
  const auto b = static_cast<long>(kbps * 1000 / channels * 1.15);
  const double ffmpeg =
      double(std::min({std::max(b / 5, b * 15 / 32 - 5500), 3000 + b / 4, 12000 + b / 16, 22000L}));
  const double perChannel = kbps / channels;
  const double visualOn = perChannel < 40 ? 9700 : perChannel < 56 ? 14700 : 20500;
  return hz <= 1.2 * std::max({ffmpeg, visualOn, 8000.0}) ? kUnknownBandwidth
                                                          : kUnknownBandwidth / 10;
}

// FFmpeg's encoder lets its two filters cover from a first band of the rate (its table) up to
// the rate's limit or the channel's top band, half each.
constexpr std::array<int, 13> kTnsLimit{31, 31, 34, 40, 42, 51, 46, 46, 42, 42, 42, 39, 39};
constexpr std::array<int, 13> kFfmpegTnsStart{12, 13, 15, 16, 17, 20, 25, 26, 24, 28, 30, 31, 31};

bool TnsFits(const TnsFrame& f, int index) {
  for (const int top : {int(f.maxBand), int(f.previousBand)}) {
    const int span = std::min(kTnsLimit[index], top) - kFfmpegTnsStart[index];
    if (top > 0 && span > 0 && span / 2 == f.length) return true;
  }
  return false;
}

// Each frame whose filters do not fit the rate counts against it; a few frames settle it, and
// a damaged frame or two cannot.
double TnsScore(const std::vector<TnsFrame>& frames, int index) {
  std::size_t misses = 0;
  for (const TnsFrame& f : frames) misses += TnsFits(f, index) ? 0 : 1;
  return std::pow(0.05, double(std::min<std::size_t>(misses, 4)));
}

// FFmpeg's encoder codes no band as noise below 4 kHz.
constexpr double kFfmpegNoiseFloorHz = 4000;

double NoiseScore(const std::vector<std::uint16_t>& lines, std::uint32_t rate) {
  std::size_t below = 0;
  for (const std::uint16_t line : lines) below += line * double(rate) / 2048 < kFfmpegNoiseFloorHz;
  return below >= 2 ? 0.01 : below == 1 ? 0.3 : 1;
}

// --- Putting it together --------------------------------------------------------------------

// The probability from which the first rate is called likely. The weights above are judgement,
// not measured frequencies, so the line sits high: over the test recordings (two encoders, nine
// rates, usual and default bitrates) every rate called likely was right, and below this line
// about one in twenty was not.
constexpr double kLikely = 0.97;

std::string Khz(std::uint32_t hz) {
  char text[16];
  std::snprintf(text, sizeof text, "%.5g kHz", hz / 1000.0);
  return text;
}

std::string Kbps(double kbps) {
  char text[24];
  std::snprintf(text, sizeof text, "%.*f kbit/s", kbps < 100 ? 1 : 0, kbps);
  return text;
}

// The encoders whose habits are known, and any other. Each habit is weighed under each of them,
// and a rate's evidence sums over the encoders, each by how well it explains the frames.
enum Encoder { kFfmpeg, kVisualOn, kOther, kEncoders };
constexpr std::array<double, kEncoders> kEncoderPrior{0.3, 0.3, 0.4};

// How well each encoder explains what the frames show regardless of the rate: FFmpeg's codes
// noise and intensity bands, splits its noise shaping in two halves and never pads; the VisualOn
// encoder does none of the first two, pads now and then, and at the lowest rates codes only
// short windows, which FFmpeg's never does.
std::array<double, kEncoders> EncoderFit(const Observed& seen, bool shortOnly) {
  const bool noise = 100 * seen.noiseOrIntensity >= seen.parsed;
  const bool padded = 100 * seen.padded >= seen.parsed;
  std::array<double, kEncoders> fit{1, 1, 1};
  fit[kFfmpeg] *= (noise ? 1 : 0.3) * (padded ? 0.001 : 1) * (shortOnly ? 0.01 : 1) *
                  (seen.tns.empty() ? 1 : 3);
  fit[kVisualOn] *= (noise ? 0.001 : 1) * (padded ? 1 : 0.3) * (seen.tns.size() >= 2 ? 0.01 : 1);
  // Encoders keep to long windows on steady audio.
  fit[kOther] *= shortOnly ? 0.005 : 1;
  return fit;
}

struct Weighed {
  RateInfo info;
  double prior = 0;
  double kbps = 0;
  BitrateFit fit;
  // Each encoder's habits at this rate, and their parts by name for the reason.
  std::array<double, kEncoders> habits{};
  double ffBandwidth = 1, tns = 1, noise = 1, voBandwidth = 1, windows = 1;
  double explained = 0;  // the habits summed over the encoders, each by how well it fits
  int encoder = kOther;  // the encoder that explains the frames best at this rate
  double total = 0;
};

// Why the first rate came before the second, in plain words: the part of the evidence that
// parted them most.
std::string Reason(const Weighed& best, const Weighed& next, bool usual, int factor) {
  const auto by = [](double a, double b) { return a > 0 && b > 0 ? std::log(a / b) : 0.0; };
  const std::string rate = Khz(best.info.hz * factor), other = Khz(next.info.hz * factor);
  const double byBitrate = by(best.fit.likelihood, next.fit.likelihood);
  const double byHabits = by(best.explained, next.explained);
  if (std::max(byBitrate, byHabits) < std::log(2.0)) {
    return "the frames tell little; " + rate +
           (usual ? " is the rate recorders use most" : " fits them a little better");
  }
  if (byBitrate >= byHabits) {
    return "its bitrate, " + Kbps(best.kbps) + " at " + rate + ", is a usual setting (" +
           Kbps(next.kbps) + " at " + other +
           (next.fit.deviation > 0.04 ? " is not)" : " less so)");
  }
  if (best.encoder == kFfmpeg && by(best.tns, next.tns) >= by(best.ffBandwidth, next.ffBandwidth)) {
    return by(best.tns, next.tns) >= by(best.noise, next.noise)
               ? "its noise-shaping filters fit the band limits of " + rate + ", not " + other
               : "its noise-coded bands start where its encoder lets them at " + rate;
  }
  if (best.encoder == kVisualOn &&
      by(best.windows, next.windows) > by(best.voBandwidth, next.voBandwidth)) {
    return "its encoder codes " + std::string(best.info.hz < 16000 ? "only short" : "long") +
           " windows at " + rate;
  }
  return "its top band is where its encoder cuts off at " + Kbps(best.kbps) + " and " + rate +
         ", not at " + other;
}

}  // namespace

RateEvidence WeighRate(const std::uint8_t* data, std::uint64_t size,
                       std::span<const exact::FrameRef> frames, const StreamShape& shape) {
  RateEvidence evidence;
  if (data == nullptr || shape.samplingIndex < 0 ||
      shape.samplingIndex >= aac::kSamplingIndexCount || shape.channels <= 0) {
    evidence.reason = "nothing to read the rate from";
    return evidence;
  }
  const Observed seen = Observe(data, size, frames, shape.samplingIndex);
  evidence.framesRead = seen.parsed;
  if (seen.parsed == 0) {
    evidence.reason = "no frame could be read";
    return evidence;
  }
  const std::vector<RateInfo> group = GroupOf(shape.samplingIndex, seen.topLongBand);
  // The walk knows of SBR only from a header; the frames tell it too.
  const bool sbr = shape.sbr || 2 * seen.sbr > seen.parsed;
  evidence.sbr = sbr;
  const int factor = sbr ? 2 : 1;
  if (group.size() == 1) {
    evidence.candidates.push_back({group[0].hz * factor, group[0].index, 1,
                                   seen.bytesPerFrame * 8 * group[0].hz / 1024 / 1000});
    evidence.confidence = Confidence::kCertain;
    evidence.reason = "only " + Khz(group[0].hz * factor) + " has the bands its frames use";
    return evidence;
  }

  const bool shortOnly = seen.audible > 0 && 10 * seen.shortOnly >= 9 * seen.audible;
  std::array<double, kEncoders> encoderFit = EncoderFit(seen, shortOnly);
  // Neither encoder makes HE-AAC: their habits say nothing about it.
  if (sbr) encoderFit = {0, 0, 1};
  const std::vector<Setting> settings = SettingsFor(shape.channels);

  std::vector<Weighed> weighed;
  double sum = 0;
  for (const RateInfo& r : group) {
    Weighed w;
    w.info = r;
    w.prior = sbr ? r.sbrPrior : r.prior;
    // With SBR a frame still holds 1024 samples of the core: the bitrate follows the core rate.
    w.kbps = seen.bytesPerFrame * 8 * r.hz / 1024 / 1000;
    w.fit = FitBitrate(w.kbps, settings);
    const bool settingKnown = w.fit.deviation < 0.04;
    const double setting = settingKnown ? w.fit.setting : w.kbps;
    const int channels = shape.channels;

    w.ffBandwidth = BandwidthScore(seen.typicalLongBand,
                                   FfmpegTopBand(setting, channels, r.hz, r.index), settingKnown);
    w.tns = TnsScore(seen.tns, r.index);
    w.noise = NoiseScore(seen.noiseLines, r.hz);
    w.habits[kFfmpeg] = w.ffBandwidth * w.tns * w.noise;

    w.voBandwidth =
        BandwidthScore(seen.typicalLongBand, VisualOnTopBand(setting, channels, r), settingKnown);
    // The VisualOn encoder codes only short windows at 12 kHz and below (measured).
    w.windows = r.hz <= 16000 ? ((r.hz < 16000) == shortOnly ? 1 : 0.005) : 1;
    w.habits[kVisualOn] = w.voBandwidth * w.windows;
    w.habits[kOther] = AnyBandwidthScore(seen.typicalLongBand, w.kbps, channels, r);

    double strongest = 0;
    for (int e = 0; e < kEncoders; ++e) {
      const double term = kEncoderPrior[e] * encoderFit[e] * w.habits[e];
      w.explained += term;
      if (term > strongest) strongest = term, w.encoder = e;
    }
    w.total = w.prior * w.fit.likelihood * w.explained;
    sum += w.total;
    weighed.push_back(w);
  }
  std::stable_sort(weighed.begin(), weighed.end(),
                   [](const Weighed& a, const Weighed& b) { return a.total > b.total; });
  for (const Weighed& w : weighed) {
    evidence.candidates.push_back(
        {w.info.hz * factor, w.info.index, sum > 0 ? w.total / sum : 0, w.kbps});
  }
  evidence.confidence =
      evidence.candidates[0].probability >= kLikely ? Confidence::kLikely : Confidence::kGuess;
  const double usualPrior =
      std::max_element(weighed.begin(), weighed.end(), [](const Weighed& a, const Weighed& b) {
        return a.prior < b.prior;
      })->prior;
  evidence.reason = Reason(weighed[0], weighed[1], weighed[0].prior >= usualPrior, factor);
  return evidence;
}

}  // namespace quillmend::rate
