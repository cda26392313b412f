#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>
#include <random>

extern "C" {
#include <libavformat/avformat.h>
}

#include "alac/alac_syntax.h"
#include "support/support.h"

namespace quillmend::alac {
namespace {

using test::ByteVector;
namespace fs = std::filesystem;

// Content for aevalsrc: tones over a little noise; voiced bursts with true silence between them,
// which the coder sends as runs of zeros; full-scale noise, which does not compress and is
// stored verbatim.
constexpr const char* kMusic =
    "0.3*sin(2*PI*440*t)+0.2*sin(2*PI*1250*t)+0.1*sin(2*PI*3150*t)+0.02*(2*random(0)-1)";
constexpr const char* kSpeech =
    "lt(mod(t\\,1.1)\\,0.7)*(0.5*sin(2*PI*140*t)+0.25*sin(2*PI*420*t+sin(2*PI*3*t))+"
    "0.1*sin(2*PI*2200*t))*(0.6+0.4*sin(2*PI*5*t))";
constexpr const char* kSilence = "0";
constexpr const char* kNoise = "0.99*(2*random(0)-1)";

struct Recording {
  const char* name;
  int bits;  // 16: s16p, 24: s32p, which the encoder writes as 24-bit
  int channels;
  int rate;
  const char* content;
  const char* options = "";
  bool verbatim = false;  // the encoder stores some frames uncompressed
};

void PrintTo(const Recording& r, std::ostream* os) { *os << r.name; }

// 2.9 s: a duration no whole number of 4096-sample frames fills, so every file ends short.
const Recording kRecordings[] = {
    {"16-stereo-44k-music", 16, 2, 44100, kMusic},
    {"16-mono-48k-speech", 16, 1, 48000, kSpeech},
    {"16-stereo-44k-silence", 16, 2, 44100, kSilence},
    {"16-stereo-48k-level0", 16, 2, 48000, kMusic, "-compression_level 0", true},
    {"16-5.1-48k-music", 16, 6, 48000, kMusic},
    {"24-stereo-48k-music", 24, 2, 48000, kMusic},
    {"24-mono-44k-speech", 24, 1, 44100, kSpeech},
    {"24-mono-48k-silence", 24, 1, 48000, kSilence},
    {"24-mono-44k-noise", 24, 1, 44100, kNoise, "", true},
};

std::string Encode(const std::string& name, const std::string& expression, int channels, int rate,
                   const std::string& codec) {
  const fs::path path = test::MediaDirectory() / "alac" / (name + ".m4a");
  if (fs::exists(path)) return test::U8(path);
  fs::create_directories(path.parent_path());
  std::string expressions = expression;
  for (int c = 1; c < channels; ++c) expressions += "|" + expression;
  // Two test programs may make one recording at once: each into its own file.
  const fs::path part =
      path.parent_path() / ("part-" + std::to_string(std::random_device{}()) + "-" + name + ".m4a");
  const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=" + expressions +
                              ":s=" + std::to_string(rate) + ":c=" +
                              (channels == 6   ? "5.1"
                               : channels == 2 ? "stereo"
                                               : "mono") +
                              ":d=2.9\" " + codec + " " + test::Quote(test::U8(part));
  EXPECT_EQ(test::Run(command), 0) << command;
  fs::rename(part, path);
  return test::U8(path);
}

std::string Record(const Recording& r) {
  return Encode(
      r.name, r.content, r.channels, r.rate,
      std::string("-c:a alac -sample_fmt ") + (r.bits == 16 ? "s16p " : "s32p ") + r.options);
}

// The configuration in the file's sample entry: the 'alac' box inside the 'alac' entry of stsd.
ByteVector SampleEntryCookie(const ByteVector& file) {
  auto at = std::search(file.begin(), file.end(), "stsd", "stsd" + 4);
  for (int i = 0; i < 2; ++i) at = std::search(at + 1, file.end(), "alac", "alac" + 4);
  return file.end() - at < 32 ? ByteVector{} : ByteVector(at - 4, at + 32);
}

using Packets = std::vector<test::MediaInfo::Packet>;

struct Frames {
  ByteVector file;
  Packets packets;
  Config config;  // from the sample entry
};

Frames Load(const Recording& r) {
  const std::string path = Record(r);
  Frames frames{test::ReadFile(path), test::ReadMedia(path).packets, {}};
  EXPECT_GT(frames.packets.size(), 20u);
  const ByteVector cookie = SampleEntryCookie(frames.file);
  const std::optional<Config> config = ParseCookie(cookie.data(), cookie.size());
  EXPECT_TRUE(config.has_value()) << r.name;
  if (config) frames.config = *config;
  return frames;
}

std::uint64_t MediaBegin(const Packets& p) { return static_cast<std::uint64_t>(p[0].position); }
std::uint64_t MediaEnd(const Packets& p) {
  return static_cast<std::uint64_t>(p.back().position) + p.back().data.size();
}

class AlacRecording : public testing::TestWithParam<Recording> {};

// Every frame's own syntax gives exactly the size in the healthy file's sample table, read with
// the rest of the file after it; only the last frame is short.
TEST_P(AlacRecording, ParseToTheirPacketSizes) {
  const Recording& r = GetParam();
  const Frames f = Load(r);
  ASSERT_EQ(f.config.numChannels, r.channels);
  int verbatimFrames = 0;
  ElementLayout first;
  for (std::size_t i = 0; i < f.packets.size(); ++i) {
    const auto& packet = f.packets[i];
    const FrameInfo info =
        ParseFrame(f.file.data() + packet.position, f.file.size() - packet.position, f.config);
    ASSERT_EQ(info.status, FrameStatus::kValid) << "frame " << i << " broke at " << info.bitsRead;
    EXPECT_EQ(info.bytes, packet.data.size()) << "frame " << i;
    EXPECT_EQ(info.layout.Channels(), r.channels);
    if (i == 0) first = info.layout;
    EXPECT_TRUE(info.layout == first) << "frame " << i;
    const bool last = i + 1 == f.packets.size();
    EXPECT_EQ(info.partial, last) << "frame " << i;
    EXPECT_EQ(info.samples < f.config.frameLength, last) << "frame " << i;
    verbatimFrames += info.verbatim > 0;
    // One byte short, a frame needs more bytes: never a shorter valid frame, never invalid.
    EXPECT_EQ(ParseFrame(packet.data.data(), packet.data.size() - 1, f.config).status,
              FrameStatus::kTruncated);
  }
  EXPECT_EQ(verbatimFrames > 0, r.verbatim) << verbatimFrames << " verbatim frames";
}

// The cookie in the sample entry says what libavformat's stream information (ffprobe's) says,
// and survives being written again, in each of the wrappings files carry it in.
TEST_P(AlacRecording, CookieMatchesTheStreamAndRoundTrips) {
  const Recording& r = GetParam();
  const Frames f = Load(r);
  AVFormatContext* opened = nullptr;
  ASSERT_GE(avformat_open_input(&opened, Record(r).c_str(), nullptr, nullptr), 0);
  const std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> format(
      opened, [](AVFormatContext* c) { avformat_close_input(&c); });
  ASSERT_GE(avformat_find_stream_info(format.get(), nullptr), 0);
  const AVCodecParameters& stream = *format->streams[0]->codecpar;
  EXPECT_EQ(f.config.sampleRate, static_cast<std::uint32_t>(stream.sample_rate));
  EXPECT_EQ(f.config.numChannels, stream.ch_layout.nb_channels);
  EXPECT_EQ(f.config.bitDepth, stream.bits_per_raw_sample);

  const ByteVector boxed = MakeCookie(f.config);
  EXPECT_EQ(boxed, SampleEntryCookie(f.file));
  const ByteVector bare = MakeCookie(f.config, false);
  ByteVector wave = test::Bytes{}.U32(12).Text("frmaalac").data;
  wave.insert(wave.end(), boxed.begin(), boxed.end());
  for (const ByteVector& form : {boxed, bare, wave}) {
    EXPECT_EQ(ParseCookie(form.data(), form.size()), f.config) << form.size() << " bytes";
  }
}

// Without the cookie, the frames tell their bit depth and channel count, also behind damage.
TEST_P(AlacRecording, InferenceFindsDepthAndChannels) {
  const Recording& r = GetParam();
  const Frames f = Load(r);
  const Inference found = InferConfig(f.file.data(), MediaBegin(f.packets), MediaEnd(f.packets));
  EXPECT_EQ(found.config.bitDepth, r.bits);
  EXPECT_EQ(found.config.numChannels, r.channels);
  EXPECT_EQ(found.start, MediaBegin(f.packets));
  // Silence reads alike at 16 and 20 bits: nothing escapes, nothing is stored verbatim.
  const bool silent = std::strcmp(r.content, kSilence) == 0;
  EXPECT_EQ(found.certainty, silent && r.bits == 16 ? Certainty::kLikely : Certainty::kSure);

  ByteVector damaged(5000);
  std::mt19937 random(9);
  for (auto& b : damaged) b = static_cast<std::uint8_t>(random());
  damaged.insert(damaged.end(), f.file.begin() + static_cast<long>(MediaBegin(f.packets)),
                 f.file.begin() + static_cast<long>(MediaEnd(f.packets)));
  const Inference behind = InferConfig(damaged.data(), 0, damaged.size());
  EXPECT_EQ(behind.start, 5000u);
  EXPECT_EQ(behind.config, found.config);
}

// Read at another bit depth, a stream's chain breaks within a few frames. Silence is the
// exception between 16 and 20 bits, which code it the same way.
TEST_P(AlacRecording, WrongBitDepthBreaksTheChain) {
  const Recording& r = GetParam();
  const Frames f = Load(r);
  for (int depth : {16, 20, 24, 32}) {
    if (depth == r.bits) continue;
    if (std::strcmp(r.content, kSilence) == 0 && r.bits == 16 && depth == 20) continue;
    Config wrong = f.config;
    wrong.bitDepth = static_cast<std::uint8_t>(depth);
    std::size_t held = 0;
    for (std::uint64_t at = MediaBegin(f.packets); held < f.packets.size(); ++held) {
      const FrameInfo info = ParseFrame(f.file.data() + at, f.file.size() - at, wrong);
      if (info.status != FrameStatus::kValid || info.bytes != f.packets[held].data.size()) break;
      at += info.bytes;
    }
    EXPECT_LE(held, 3u) << "read at " << depth << " bits";
  }
}

// The walk's view: every frame may start, fits and follows the one before; a bound syntax takes
// only its stream's element tags; a frame cut by damage shows an intact start.
TEST_P(AlacRecording, SyntaxInterface) {
  const Frames f = Load(GetParam());
  const std::unique_ptr<FrameSyntax> syntax = MakeSyntax(f.config);
  ASSERT_NE(syntax, nullptr);
  const auto read = [&](const ByteVector& b) { return syntax->Read(b.data(), b.size()); };
  const FrameRead first = read(f.packets[0].data);
  const std::unique_ptr<FrameSyntax> bound = syntax->BindTo(first);
  FrameRead previous = first;
  for (std::size_t i = 0; i < f.packets.size(); ++i) {
    const FrameRead frame = read(f.packets[i].data);
    EXPECT_TRUE(bound->MayStart(f.packets[i].data[0]));
    EXPECT_TRUE(bound->Fits(frame)) << "frame " << i;
    if (i > 0) {
      EXPECT_TRUE(bound->Follows(previous, frame)) << "frame " << i;
    }
    previous = frame;
  }
  // Nothing follows the short last frame.
  EXPECT_FALSE(bound->Follows(previous, first));

  // Another instance tag: the same syntax unbound, not the bound stream's.
  ByteVector retagged = f.packets[1].data;
  retagged[0] ^= 0x02;
  EXPECT_TRUE(syntax->Fits(read(retagged)));
  EXPECT_FALSE(bound->Fits(read(retagged)));
  EXPECT_FALSE(bound->MayStart(retagged[0]));

  const ByteVector& middle = f.packets[f.packets.size() / 2].data;
  EXPECT_TRUE(bound->IntactStart(middle.data(), syntax->Read(middle.data(), middle.size() - 1)));
  EXPECT_FALSE(bound->IntactStart(middle.data(), syntax->Read(middle.data(), 4)));
}

const auto kByName = [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name) c = std::isalnum(c) ? c : '_';
  return name;
};
INSTANTIATE_TEST_SUITE_P(Alac, AlacRecording, testing::ValuesIn(kRecordings), kByName);

// Bits that the syntax forbids or no encoder writes, set in a real frame's first element header:
// each makes the frame invalid. (bit offset, width, value) from the frame's first bit.
struct Mutation {
  const char* name;
  int channels;
  int bit, width;
  std::uint32_t value;
};

void PrintTo(const Mutation& m, std::ostream* os) { *os << m.name; }

const Mutation kMutations[] = {
    {"coupling-element", 2, 0, 3, 2},  {"fill-element", 2, 0, 3, 6},
    {"unused-bits", 2, 7, 12, 0x800},  {"unused-last-bit", 1, 18, 1, 1},
    {"shift-at-16-bits", 2, 20, 2, 1}, {"pair-mix-shift", 2, 23, 8, 32},
    {"mono-mix", 1, 23, 8, 1},         {"mono-mix-weight", 1, 31, 8, 3},
    {"reserved-mode", 1, 39, 4, 3},    {"zero-quant-shift", 1, 43, 4, 0},
    {"lfe-first", 1, 0, 3, 3},
};

class AlacHeaderMutation : public testing::TestWithParam<Mutation> {};

TEST_P(AlacHeaderMutation, MakesTheFrameInvalid) {
  const Mutation& m = GetParam();
  const Frames f = Load(m.channels == 1 ? kRecordings[1] : kRecordings[0]);
  ByteVector frame = f.packets[3].data;
  ASSERT_EQ(ParseFrame(frame.data(), frame.size(), f.config).status, FrameStatus::kValid);
  for (int i = 0; i < m.width; ++i) {
    const int bit = m.bit + i;
    const int set = (m.value >> (m.width - 1 - i)) & 1;
    frame[bit >> 3] = static_cast<std::uint8_t>((frame[bit >> 3] & ~(0x80 >> (bit & 7))) |
                                                set << (7 - (bit & 7)));
  }
  EXPECT_EQ(ParseFrame(frame.data(), frame.size(), f.config).status, FrameStatus::kInvalid);
}

INSTANTIATE_TEST_SUITE_P(Alac, AlacHeaderMutation, testing::ValuesIn(kMutations), kByName);

TEST(AlacCookie, RefusesWhatNoEncoderWrites) {
  const Config good{};
  ByteVector bytes = MakeCookie(good, false);
  ASSERT_EQ(ParseCookie(bytes.data(), bytes.size()), good);
  EXPECT_FALSE(ParseCookie(bytes.data(), bytes.size() - 1));
  EXPECT_FALSE(ParseCookie(nullptr, 0));
  // (byte, value): frame length 0, compatible version 1, bit depth 8, no channel, 9 channels.
  const std::pair<int, int> kBad[] = {{3, 0}, {4, 1}, {5, 8}, {9, 0}, {9, 9}};
  for (auto [at, value] : kBad) {
    ByteVector bad = bytes;
    bad[at] = static_cast<std::uint8_t>(value);
    if (at == 3) bad[2] = 0;
    EXPECT_FALSE(ParseCookie(bad.data(), bad.size())) << "byte " << at;
  }
  // A format atom with nothing after it.
  const ByteVector frma = test::Bytes{}.U32(12).Text("frmaalac").data;
  EXPECT_FALSE(ParseCookie(frma.data(), frma.size()));
}

// Random bytes: how often a frame, and a chain of two, is read at an offset where the syntax
// may start (the counts go to the test's output: the false-chain rate). Zeros make no frame.
TEST(AlacRandom, RandomBytesMakeNoChain) {
  std::mt19937 random(5);
  ByteVector bytes(1 << 16);
  for (const Config& config :
       {Config{.bitDepth = 16, .numChannels = 2}, Config{.bitDepth = 24, .numChannels = 1}}) {
    const AlacSyntax syntax(config);
    std::size_t starts = 0, frames = 0, chains = 0;
    for (int round = 0; round < 48; ++round) {
      for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
      for (std::size_t at = 0; at < bytes.size(); ++at) {
        if (!syntax.MayStart(bytes[at])) continue;
        ++starts;
        const FrameRead read = syntax.Read(bytes.data() + at, bytes.size() - at);
        ASSERT_LE(read.bitsRead, (bytes.size() - at) * 8);
        if (!syntax.Fits(read)) continue;
        ++frames;
        const std::size_t next = at + read.bytes;
        chains += syntax.Fits(syntax.Read(bytes.data() + next, bytes.size() - next));
      }
    }
    std::cout << int{config.bitDepth} << "-bit " << int{config.numChannels}
              << "-channel: " << frames << " of " << starts << " starts read a frame, " << chains
              << " a chain of two\n";
    EXPECT_EQ(chains, 0u);
    EXPECT_LT(frames * 10000, starts);
  }
  for (int round = 0; round < 8; ++round) {
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    EXPECT_LE(InferConfig(bytes.data(), 0, bytes.size()).certainty, Certainty::kGuess);
  }
  for (std::size_t size : {1, 3, 64, 5000, 70000}) {
    const ByteVector zeros(size, 0);
    for (int depth : {16, 20, 24, 32}) {
      const Config any{.bitDepth = static_cast<std::uint8_t>(depth), .numChannels = 0};
      EXPECT_NE(ParseFrame(zeros.data(), size, any).status, FrameStatus::kValid);
    }
  }
}

// AAC frames, which have no unused bits, never read as ALAC: not one frame at any depth.
TEST(AlacRandom, AacFramesAreNotAlac) {
  const std::string path = Encode("aac-stereo", kMusic, 2, 44100, "-c:a aac -b:a 128k");
  const ByteVector file = test::ReadFile(path);
  const auto packets = test::ReadMedia(path).packets;
  ASSERT_GT(packets.size(), 20u);
  for (int depth : {16, 20, 24, 32}) {
    const Config any{.bitDepth = static_cast<std::uint8_t>(depth), .numChannels = 0};
    for (const auto& packet : packets) {
      EXPECT_NE(ParseFrame(packet.data.data(), packet.data.size(), any).status,
                FrameStatus::kValid);
    }
  }
  EXPECT_LE(InferConfig(file.data(), MediaBegin(packets), MediaEnd(packets)).certainty,
            Certainty::kGuess);
}

}  // namespace
}  // namespace quillmend::alac
