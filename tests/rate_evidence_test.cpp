#include "repair/rate_evidence.h"

#include <chrono>
#include <cstdio>
#include <map>

#include "aac/audio_config.h"
#include "support/recordings.h"
#include "support/support.h"

namespace quillmend {
namespace {

using rate::Confidence;
using rate::RateEvidence;
using rate::WeighRate;

// Frames of digital silence, one after another: they carry no bitrate and no band to go by.
struct Silence {
  explicit Silence(int channels, std::size_t count = 200) {
    aac::ElementLayout layout;
    layout.count = 1;
    layout.elements[0] = std::uint8_t((channels == 2 ? aac::kCpe : aac::kSce) << 4);
    const std::vector<std::uint8_t> frame = aac::MakeSilentFrame(layout);
    for (std::size_t i = 0; i < count; ++i) {
      frames.push_back({bytes.size(), std::uint32_t(frame.size())});
      bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
  }
  RateEvidence Weigh(int samplingIndex, bool sbr = false) const {
    return WeighRate(bytes.data(), bytes.size(), frames, {samplingIndex, 2, sbr});
  }
  std::vector<std::uint8_t> bytes;
  std::vector<exact::FrameRef> frames;
};

TEST(RateEvidence, RefusesWhatItCannotRead) {
  const Silence s(2);
  EXPECT_TRUE(WeighRate(nullptr, 0, s.frames, {4, 2, false}).candidates.empty());
  EXPECT_TRUE(
      WeighRate(s.bytes.data(), s.bytes.size(), s.frames, {13, 2, false}).candidates.empty());
  EXPECT_TRUE(
      WeighRate(s.bytes.data(), s.bytes.size(), s.frames, {4, 0, false}).candidates.empty());
  // Frames the walk could never have found: past the end, or running over it.
  const std::vector<exact::FrameRef> outside{
      {s.bytes.size(), 10}, {s.bytes.size() - 2, 8}, {~std::uint64_t{0}, 0xFFFFFFFF}};
  const RateEvidence none = WeighRate(s.bytes.data(), s.bytes.size(), outside, {4, 2, false});
  EXPECT_TRUE(none.candidates.empty());
  EXPECT_EQ(none.framesRead, 0u);
}

TEST(RateEvidence, TablesOfOneRateAreCertain) {
  const Silence s(2);
  for (const auto& [index, hz] : {std::pair{11, 8000u}, {2, 64000u}}) {
    const RateEvidence e = s.Weigh(index);
    ASSERT_EQ(e.candidates.size(), 1u);
    EXPECT_EQ(e.candidates[0].rate, hz);
    EXPECT_EQ(e.confidence, Confidence::kCertain);
  }
}

// With nothing in the frames to go by, each group falls back to the rate recorders use most,
// with the rest of the group ranked behind it.
TEST(RateEvidence, SilenceFallsBackToTheUsualRates) {
  const Silence s(2);
  const std::map<int, std::vector<std::uint32_t>> expected{{4, {48000, 44100, 32000}},
                                                           {7, {24000, 22050}},
                                                           {9, {16000, 11025, 12000}},
                                                           {1, {96000, 88200}}};
  for (const auto& [index, rates] : expected) {
    const RateEvidence e = s.Weigh(index);
    ASSERT_EQ(e.candidates.size(), rates.size()) << index;
    double total = 0;
    for (std::size_t i = 0; i < rates.size(); ++i) {
      EXPECT_EQ(e.candidates[i].rate, rates[i]) << index;
      total += e.candidates[i].probability;
    }
    EXPECT_NEAR(total, 1, 1e-9);
    EXPECT_EQ(e.confidence, Confidence::kGuess);
    EXPECT_EQ(e.reason.rfind("the frames tell little", 0), 0u) << e.reason;
  }
}

// A silent mono frame whose fill element carries SBR data, as every HE-AAC frame does.
std::vector<std::uint8_t> SbrFrame() {
  std::vector<bool> bits;
  const auto put = [&](unsigned value, int count) {
    while (count-- > 0) bits.push_back((value >> count) & 1);
  };
  put(aac::kSce, 3), put(0, 4), put(100, 8);                         // tag, global gain
  put(0, 1), put(0, 2), put(0, 1), put(0, 6), put(0, 1), put(0, 3);  // long, no band, no tools
  put(aac::kFil, 3), put(4, 4), put(13, 4), put(0, 28);  // four bytes of an SBR extension
  put(aac::kEnd, 3);
  std::vector<std::uint8_t> bytes((bits.size() + 7) / 8);
  for (std::size_t i = 0; i < bits.size(); ++i)
    bytes[i / 8] |= std::uint8_t(bits[i] << (7 - i % 8));
  return bytes;
}

TEST(RateEvidence, HeAacPlaysAtTwiceTheCoreRate) {
  const RateEvidence said = Silence(2).Weigh(7, true);
  ASSERT_FALSE(said.candidates.empty());
  EXPECT_EQ(said.candidates[0].rate, 48000u);
  EXPECT_EQ(said.candidates[0].samplingIndex, 6);  // the core's 24 kHz tables
  // The walk finds no header to say so: the frames' SBR data tell it.
  const std::vector<std::uint8_t> frame = SbrFrame();
  std::vector<std::uint8_t> bytes;
  std::vector<exact::FrameRef> frames;
  for (int i = 0; i < 100; ++i) {
    frames.push_back({bytes.size(), std::uint32_t(frame.size())});
    bytes.insert(bytes.end(), frame.begin(), frame.end());
  }
  const RateEvidence shown = WeighRate(bytes.data(), bytes.size(), frames, {8, 1, false});
  EXPECT_EQ(shown.framesRead, 100u);
  EXPECT_TRUE(shown.sbr);
  ASSERT_FALSE(shown.candidates.empty());
  EXPECT_EQ(shown.candidates[0].rate, 32000u);
  EXPECT_EQ(shown.candidates[0].samplingIndex, 8);
}

// However long the recording, the evidence reads a bounded number of frames.
TEST(RateEvidence, CostsMillisecondsOnThreeHours) {
  Silence s(2, 1000);
  const std::vector<exact::FrameRef> one = s.frames;
  while (s.frames.size() < 3 * 3600 * 48000 / 1024)
    s.frames.insert(s.frames.end(), one.begin(), one.end());
  const auto start = std::chrono::steady_clock::now();
  const RateEvidence e = s.Weigh(4);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(e.framesRead, 2048u);
  EXPECT_LT(ms, 100) << "frames: " << s.frames.size();
}

}  // namespace
}  // namespace quillmend
