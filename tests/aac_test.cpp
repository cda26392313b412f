#include <algorithm>
#include <cctype>
#include <optional>
#include <random>

#include "aac/audio_config.h"
#include "aac/raw_data_block.h"
#include "aac/tables.h"
#include "support/support.h"

namespace quillmend::aac {
namespace {

using test::ByteVector;
namespace fs = std::filesystem;

// Content for aevalsrc, per channel: tones over noise, or near silence broken every 0.3 s by a
// 10 ms burst that makes the encoder switch to short windows.
constexpr const char* kMusic =
    "0.3*sin(2*PI*440*t)+0.2*sin(2*PI*1250*t)+0.1*sin(2*PI*3150*t)+0.05*(2*random(0)-1)";
constexpr const char* kOtherMusic = "0.25*sin(2*PI*330*t)+0.2*sin(2*PI*2500*t)+0.1*(2*random(1)-1)";
constexpr const char* kBursts =
    "if(lt(mod(t\\,0.3)\\,0.01)\\,0.8*(2*random(0)-1)\\,0.02*sin(2*PI*500*t))";
constexpr const char* kNoise = "0.5*(2*random(0)-1)";

struct Recording {
  const char* name;
  int rate;
  int channels;  // the first expression goes to every channel but the second
  const char* bitrate;
  const char* content;
  const char* options;  // more encoder options: bandwidth, coder, stereo and noise tools
  ObjectType type = kLc;
};

void PrintTo(const Recording& r, std::ostream* os) { *os << r.name; }

const Recording kRecordings[] = {
    {"8k-mono", 8000, 1, "24k", kMusic, ""},
    {"11k-mono-bursts", 11025, 1, "32k", kBursts, ""},
    {"12k-mono-fullband", 12000, 1, "32k", kMusic, "-cutoff 6000"},
    {"16k-mono", 16000, 1, "48k", kMusic, ""},
    {"16k-stereo-bursts", 16000, 2, "48k", kBursts, ""},
    {"22k-stereo", 22050, 2, "64k", kMusic, ""},
    {"24k-stereo-fast", 24000, 2, "64k", kBursts, "-aac_coder fast"},
    {"32k-stereo-fullband", 32000, 2, "96k", kMusic, "-cutoff 16000"},
    {"44k-stereo", 44100, 2, "128k", kMusic, ""},
    {"44k-stereo-fullband", 44100, 2, "128k", kMusic, "-cutoff 20000"},
    {"44k-stereo-bursts", 44100, 2, "128k", kBursts, ""},
    {"44k-stereo-no-tools", 44100, 2, "96k", kMusic, "-aac_pns 0 -aac_is 0 -aac_tns 0 -aac_ms 0"},
    {"44k-stereo-ms-fast", 44100, 2, "160k", kBursts, "-aac_ms 1 -aac_coder fast"},
    {"44k-mono-noise", 44100, 1, "256k", kNoise, "-cutoff 22050"},
    {"48k-stereo-fullband", 48000, 2, "256k", kMusic, "-cutoff 24000"},
    {"48k-stereo-low", 48000, 2, "48k", kNoise, ""},
    {"48k-5.1", 48000, 6, "192k", kMusic, ""},
    {"64k-mono", 64000, 1, "96k", kBursts, ""},
    {"96k-stereo", 96000, 2, "256k", kMusic, "-cutoff 30000"},
};

// FFmpeg's encoder writes prediction in AAC Main only when asked to. Its long-term prediction is
// experimental and hardly ever used (no frame of these recordings uses it), so those frames are
// LTP frames in syntax only; aac_built_frames_test.cpp builds frames that use it.
constexpr const char* kMainOptions = "-profile:a aac_main -aac_pred 1";
constexpr const char* kLtpOptions = "-strict -2 -profile:a aac_ltp";
const Recording kMainRecordings[] = {
    {"16k-mono-main-bursts", 16000, 1, "32k", kBursts, kMainOptions, kMain},
    {"22k-stereo-main", 22050, 2, "64k", kMusic, kMainOptions, kMain},
    {"44k-mono-main", 44100, 1, "64k", kMusic, kMainOptions, kMain},
    {"48k-stereo-main-bursts", 48000, 2, "128k", kBursts, kMainOptions, kMain},
};
const Recording kLtpRecordings[] = {
    {"32k-stereo-ltp-bursts", 32000, 2, "96k", kBursts, kLtpOptions, kLtp},
    {"44k-mono-ltp", 44100, 1, "64k", kMusic, kLtpOptions, kLtp},
};

std::string Record(const Recording& r) {
  const fs::path path = test::MediaDirectory() / "aac" / (std::string(r.name) + ".m4a");
  if (fs::exists(path)) return test::U8(path);
  fs::create_directories(path.parent_path());
  std::string expressions;
  for (int c = 0; c < r.channels; ++c) {
    expressions += std::string(c == 0 ? "" : "|") + (c == 1 ? kOtherMusic : r.content);
  }
  const std::string layout = r.channels == 6 ? "5.1" : r.channels == 2 ? "stereo" : "mono";
  // Two test programs may make one recording at once: each into its own file.
  const fs::path part = path.parent_path() /
                        ("part-" + std::to_string(std::random_device{}()) + "-" + r.name + ".m4a");
  const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=" + expressions +
                              ":s=" + std::to_string(r.rate) + ":c=" + layout +
                              ":d=4\" -c:a aac -b:a " + r.bitrate + " " + r.options + " " +
                              test::Quote(test::U8(part));
  EXPECT_EQ(test::Run(command), 0) << command;
  fs::rename(part, path);
  return test::U8(path);
}

struct Frames {
  ByteVector file;
  std::vector<test::MediaInfo::Packet> packets;
  int samplingIndex;
};

Frames Load(const Recording& r) {
  const std::string path = Record(r);
  Frames frames{test::ReadFile(path), test::ReadMedia(path).packets, SamplingIndexFromRate(r.rate)};
  EXPECT_GT(frames.packets.size(), 20u);
  return frames;
}

class RecordingFrames : public testing::TestWithParam<Recording> {};

// The frame's own syntax gives exactly the size the healthy file's sample table gives, with the
// rest of the file after it.
TEST_P(RecordingFrames, ParseToTheirPacketSizes) {
  const Frames frames = Load(GetParam());
  const ElementLayout first = ParseRawDataBlock(frames.file.data() + frames.packets[0].position,
                                                frames.file.size() - frames.packets[0].position,
                                                frames.samplingIndex, GetParam().type)
                                  .layout;
  EXPECT_EQ(first.Channels(), GetParam().channels);
  for (std::size_t i = 0; i < frames.packets.size(); ++i) {
    const auto& packet = frames.packets[i];
    ASSERT_GE(packet.position, 0);
    const FrameInfo info = ParseRawDataBlock(frames.file.data() + packet.position,
                                             frames.file.size() - packet.position,
                                             frames.samplingIndex, GetParam().type);
    ASSERT_EQ(info.status, FrameStatus::kValid) << "frame " << i << " broke at " << info.bitsRead;
    EXPECT_EQ(info.bytes, packet.data.size()) << "frame " << i;
    EXPECT_TRUE(info.layout == first) << "frame " << i;
    EXPECT_FALSE(info.hasSbr);
  }
}

// Without its last byte a frame is never taken for a shorter one.
TEST_P(RecordingFrames, CutShortAreNeverValid) {
  const Frames frames = Load(GetParam());
  for (const auto& packet : frames.packets) {
    const FrameInfo info = ParseRawDataBlock(packet.data.data(), packet.data.size() - 1,
                                             frames.samplingIndex, GetParam().type);
    EXPECT_NE(info.status, FrameStatus::kValid);
  }
}

std::string TestName(const testing::TestParamInfo<Recording>& info) {
  std::string name = info.param.name;
  for (char& c : name) c = std::isalnum(c) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Aac, RecordingFrames, testing::ValuesIn(kRecordings), TestName);
INSTANTIATE_TEST_SUITE_P(Main, RecordingFrames, testing::ValuesIn(kMainRecordings), TestName);
INSTANTIATE_TEST_SUITE_P(Ltp, RecordingFrames, testing::ValuesIn(kLtpRecordings), TestName);

class MainFrames : public testing::TestWithParam<Recording> {};

// A good share of the frames use prediction (a third to nine tenths of them in these
// recordings), and those are no LC frames.
TEST_P(MainFrames, UsePredictionAndAreNoLcFrames) {
  const Frames frames = Load(GetParam());
  std::size_t predicted = 0;
  for (const auto& packet : frames.packets) {
    const FrameInfo info =
        ParseRawDataBlock(packet.data.data(), packet.data.size(), frames.samplingIndex, kMain);
    ASSERT_EQ(info.status, FrameStatus::kValid);
    EXPECT_FALSE(info.hasLtp);
    if (!info.hasPrediction) continue;
    ++predicted;
    EXPECT_EQ(
        ParseRawDataBlock(packet.data.data(), packet.data.size(), frames.samplingIndex).status,
        FrameStatus::kInvalid);
  }
  EXPECT_GT(predicted * 4, frames.packets.size());
}

INSTANTIATE_TEST_SUITE_P(Main, MainFrames, testing::ValuesIn(kMainRecordings), TestName);

// Read with another rate's band tables, frames mostly break. Tables that agree on their first 40
// bands (48 and 32 kHz share all but the top ones) leave that to maxLongBand.
TEST(Aac, WrongBandTablesMostlyFail) {
  for (const Recording& r : {kRecordings[0], kRecordings[5], kRecordings[9], kRecordings[18]}) {
    const Frames frames = Load(r);
    for (int index : {0, 2, 3, 5, 6, 8, 11}) {
      if (std::ranges::equal(LongBandWidths(index).first(40),
                             LongBandWidths(frames.samplingIndex).first(40))) {
        continue;
      }
      std::size_t right = 0;
      for (const auto& packet : frames.packets) {
        const FrameInfo info = ParseRawDataBlock(packet.data.data(), packet.data.size(), index);
        right += info.status == FrameStatus::kValid && info.bytes == packet.data.size();
      }
      EXPECT_LT(right * 10, frames.packets.size()) << r.name << " read at index " << index;
    }
  }
}

// A data stream element whose count lands on a real frame (as bad bytes before a frame can
// read) makes one frame of both: the walk's search for the true start is what takes it apart.
TEST(Aac, DataElementBeforeAFrameReadsAsOneFrameWithIt) {
  const Frames frames = Load(kRecordings[8]);
  const ByteVector& real = frames.packets[5].data;
  for (std::uint8_t count : {0, 7, 200}) {
    // id 4 (DSE), tag 0, no alignment, the count, then as many junk bytes.
    ByteVector bytes = {0x80, count};
    bytes.resize(2 + count, 0xA7);
    bytes.insert(bytes.end(), real.begin(), real.end());
    const FrameInfo info = ParseRawDataBlock(bytes.data(), bytes.size(), frames.samplingIndex);
    ASSERT_EQ(info.status, FrameStatus::kValid);
    EXPECT_EQ(info.bytes, bytes.size());
  }
}

TEST(Aac, RandomBytesAreAlmostNeverValid) {
  std::mt19937 random(5);
  ByteVector bytes(3000);
  int valid = 0, tries = 0;
  for (int round = 0; round < 20000; ++round) {
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    for (int index = 0; index < 13; ++index, ++tries) {
      const FrameInfo info = ParseRawDataBlock(bytes.data(), bytes.size(), index);
      valid += info.status == FrameStatus::kValid;
      ASSERT_LE(info.bitsRead, bytes.size() * 8);
    }
  }
  EXPECT_LT(valid * 10000, tries);
}

TEST(Aac, ZeroBytesAreNeverValid) {
  for (std::size_t size : {1, 2, 7, 64, 5000}) {
    const ByteVector zeros(size, 0);
    for (int index = 0; index < 13; ++index) {
      EXPECT_NE(ParseRawDataBlock(zeros.data(), size, index).status, FrameStatus::kValid);
    }
  }
}

// Configurations as MP4 files carry them: plain, with SBR or PS signalled by their object type
// first, or by the extension after the core's configuration (also after a program config
// element), and ones whose frames the parser cannot read.
TEST(AudioConfig, ReadsEveryWaySbrAndPsAreSignalled) {
  const struct {
    ByteVector bytes;
    std::optional<AudioConfig> config;
  } cases[] = {
      {{0x12, 0x10}, AudioConfig{kLc, 4, 44100, 2}},
      {{0x0A, 0x10}, AudioConfig{kMain, 4, 44100, 2}},
      {{0x22, 0x10}, AudioConfig{kLtp, 4, 44100, 2}},
      {{0x2B, 0x92, 0x08, 0x00}, AudioConfig{kLc, 7, 22050, 2, true, false, 44100}},
      {{0xEB, 0x8A, 0x08, 0x00}, AudioConfig{kLc, 7, 22050, 1, true, true, 44100}},
      {{0x13, 0x90, 0x56, 0xE5, 0xA5, 0x48, 0x80},
       AudioConfig{kLc, 7, 22050, 2, true, true, 44100}},
      {{0x13, 0x00, 0x05, 0x84, 0x00, 0x00, 0x20, 0x00, 0x56, 0xE5, 0x98},
       AudioConfig{kLc, 6, 24000, 0, true, false, 48000}},
      {{0x13, 0x90, 0x56, 0xE5}, AudioConfig{kLc, 7, 22050, 2}},  // extension cut short
      {{0x1A, 0x10}, std::nullopt},                               // SSR
      {{0x2B, 0x92, 0x18, 0x00}, std::nullopt},                   // SBR over SSR
      {{0x12, 0x14}, std::nullopt},                               // 960-sample frames
      {{0x12, 0x40}, std::nullopt},                               // channel configuration 8
      {{0x12}, std::nullopt},                                     // cut short
  };
  for (const auto& c : cases) {
    AudioConfig config;
    EXPECT_EQ(ParseAudioConfig(c.bytes, &config), c.config.has_value())
        << testing::PrintToString(c.bytes);
    if (c.config) {
      EXPECT_TRUE(config == *c.config) << testing::PrintToString(c.bytes);
    }
  }
}

TEST(AudioConfig, WrittenConfigsReadBack) {
  for (const ObjectType type : {kMain, kLc, kLtp}) {
    for (const int index : {3, 7, 11}) {
      for (const int extension : {0, 1, 2}) {  // none, SBR, SBR and PS
        const auto rate = static_cast<std::uint32_t>(SamplingRateFromIndex(index));
        const AudioConfig written{type,
                                  index,
                                  rate,
                                  extension == 2 ? 1 : 2,
                                  extension > 0,
                                  extension == 2,
                                  extension > 0 ? 2 * rate : 0};
        AudioConfig read;
        ASSERT_TRUE(ParseAudioConfig(MakeAudioConfig(written), &read));
        EXPECT_TRUE(read == written) << int(type) << " " << index << " " << extension;
      }
    }
  }
  EXPECT_EQ(MakeAudioConfig(4, 2), ByteVector({0x12, 0x10}));
}

}  // namespace
}  // namespace quillmend::aac
