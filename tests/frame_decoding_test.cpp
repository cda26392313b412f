#include "repair/frame_decoding.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "io/utf8.h"
#include "mp4/frame_scanner.h"
#include "repair/sample_decoder.h"
#include "support/audio.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::TempDir;

using FrameBytes = std::vector<std::uint8_t>;

// A recording made once per test program, with its frames as ffprobe places them.
struct Recording {
  std::string path;
  std::vector<FrameBytes> frames;
};

const Recording& MakeOnce(int channels) {
  static TempDir dir;
  static std::map<int, Recording> made;
  auto [at, fresh] = made.try_emplace(channels);
  if (fresh) {
    at->second.path = dir.File("steady-" + std::to_string(channels) + ".m4a");
    test::MakeSteadyRecording(at->second.path, 3.0, channels);
    const auto bytes = test::ReadFile(at->second.path);
    for (const auto& place : test::ProbePacketPlaces(at->second.path)) {
      at->second.frames.emplace_back(bytes.begin() + static_cast<long>(place.pos),
                                     bytes.begin() + static_cast<long>(place.pos + place.size));
    }
  }
  return at->second;
}

std::uint16_t HeadOf(const FrameBytes& frame) {
  return static_cast<std::uint16_t>(frame[0] << 8 | frame[1]);
}

// Consecutive frames of a recording whose heads occur in their bytes only where the frames
// begin, so that a profile of exactly those heads cuts the bytes into exactly those frames.
struct FrameRun {
  std::vector<FrameBytes> frames;
  FrameHeadSet heads;
  Bytes bytes;
};

FrameRun CleanRun(const Recording& recording, std::size_t count) {
  // The first frames are the encoder's start-up; the run is taken from the steady part.
  for (std::size_t first = 8; first + count <= recording.frames.size(); ++first) {
    FrameRun run;
    std::set<std::size_t> starts;
    bool usable = true;
    for (std::size_t i = first; i < first + count; ++i) {
      const FrameBytes& frame = recording.frames[i];
      usable = usable && frame.size() >= 2 && frame[1] != 0x00;
      starts.insert(run.bytes.size());
      run.frames.push_back(frame);
      run.heads.insert(HeadOf(frame));
      for (std::uint8_t byte : frame) run.bytes.U8(byte);
    }
    const auto& data = run.bytes.data();
    for (std::size_t p = 0; usable && p + 1 < data.size(); ++p) {
      const auto value = static_cast<std::uint16_t>(data[p] << 8 | data[p + 1]);
      usable = !run.heads.contains(value) || starts.contains(p);
    }
    if (usable) return run;
  }
  ADD_FAILURE() << "no run of " << count << " frames without false heads";
  return {};
}

// The frames decoded one packet each by a fresh decoder of the sample, with the same
// conversion: what the scanning and the merging of spans must reproduce.
FrameBytes ReferencePcm(const std::string& samplePath, const std::vector<FrameBytes>& frames) {
  RepairContext context;
  SampleDecoder decoder;
  EXPECT_EQ(OpenSampleDecoder(context, decoder, samplePath), kOk);
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  FrameBytes pcm;
  for (FrameBytes bytes : frames) {
    packet->data = bytes.data();
    packet->size = static_cast<int>(bytes.size());
    EXPECT_EQ(avcodec_send_packet(decoder.decoderContext.get(), packet.get()), 0);
    EXPECT_EQ(avcodec_receive_frame(decoder.decoderContext.get(), frame.get()), 0);
    FrameBytes out(static_cast<std::size_t>(frame->nb_samples) * 4);
    std::uint8_t* planes[] = {out.data()};
    EXPECT_EQ(
        swr_convert(decoder.resampler.get(), planes, frame->nb_samples,
                    const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples),
        frame->nb_samples);
    pcm.insert(pcm.end(), out.begin(), out.end());
    av_frame_unref(frame.get());
  }
  return pcm;
}

// One call of DecodeFramesToPcm over a damaged file of the given bytes, with the given
// profile and the decoder of the given sample.
class Decoding {
 public:
  Decoding(const std::string& samplePath, const Bytes& damaged, const FrameHeadSet& heads) {
    test::WriteFile(dir_.File("damaged.m4a"), damaged);
    file_ = std::make_unique<MappedFile>(Utf8ToWide(dir_.File("damaged.m4a")));
    context.frameHeads = std::make_shared<const FrameHeadSet>(heads);
    EXPECT_EQ(OpenSampleDecoder(context, decoder, samplePath), kOk);
  }
  ResultCode Run() {
    AppendFile pcm(dir_.File("tmp.pcm"));
    EXPECT_TRUE(pcm.IsOpen());
    return DecodeFramesToPcm(context, *file_, *decoder.decoderContext, decoder.resampler, pcm);
  }
  FrameBytes Pcm() const { return test::ReadFile(dir_.File("tmp.pcm")); }
  MappedFile& file() { return *file_; }

  RepairContext context;
  SampleDecoder decoder;

 private:
  TempDir dir_;
  std::unique_ptr<MappedFile> file_;
};

std::vector<FrameBytes> FirstFrames(const FrameRun& run, std::size_t count) {
  return {run.frames.begin(), run.frames.begin() + static_cast<long>(count)};
}

struct Case {
  const char* name;
  // The damaged bytes made of the run.
  std::function<Bytes(const FrameRun&)> damaged;
  ResultCode result;
  // How many of the run's frames reach the PCM file, counted from the first.
  std::function<std::size_t(const FrameRun&)> decoded;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const auto kAll = [](const FrameRun& run) { return run.frames.size(); };

const Case kCases[] = {
    {"TwoTrailingBytesCloseTheLastFrame",
     [](const FrameRun& run) { return Bytes(run.bytes).U16(0x0000); }, kOk, kAll},
    {"TheTailRuleCutsTheLastFrameShortOfTwoBytes", [](const FrameRun& run) { return run.bytes; },
     kEndOfScan, [](const FrameRun& run) { return run.frames.size() - 1; }},
    {"AnEmptyFinalSpanIsRefusedNotTakenForTheEnd",
     // The head after the run opens a frame whose tail is too long for one: the scan ends on a
     // span of length 0, which adds nothing and does not count as decoded.
     [](const FrameRun& run) {
       return Bytes(run.bytes).U16(HeadOf(run.frames[0])).Fill(4200, 0x00);
     },
     kEndOfScan, kAll},
};

class DecodeCaseTest : public testing::TestWithParam<Case> {};

TEST_P(DecodeCaseTest, WritesExactlyTheDecodedFrames) {
  const Recording& sample = MakeOnce(2);
  const FrameRun run = CleanRun(sample, 12);
  Decoding decoding(sample.path, GetParam().damaged(run), run.heads);
  EXPECT_EQ(decoding.Run(), GetParam().result);
  const FrameBytes expected = ReferencePcm(sample.path, FirstFrames(run, GetParam().decoded(run)));
  // 1024 samples per frame, two channels of two bytes.
  EXPECT_EQ(expected.size(), GetParam().decoded(run) * 4096);
  EXPECT_EQ(decoding.Pcm(), expected);
}

INSTANTIATE_TEST_SUITE_P(Spans, DecodeCaseTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeFramesToPcmTest, WithoutAHeadTheDecoderIsNotTouched) {
  const Recording& sample = MakeOnce(2);
  const FrameRun run = CleanRun(sample, 4);
  Decoding decoding(sample.path, run.bytes, {});
  EXPECT_EQ(decoding.Run(), kOk);
  EXPECT_TRUE(decoding.Pcm().empty());
  // Not drained either: a frame sent now still decodes.
  AVCodecContext* decoder = decoding.decoder.decoderContext.get();
  EXPECT_EQ(decoder->frame_number, 0);
  FrameBytes frame = run.frames[0];
  PacketPtr packet(av_packet_alloc());
  packet->data = frame.data();
  packet->size = static_cast<int>(frame.size());
  FramePtr decoded(av_frame_alloc());
  EXPECT_EQ(avcodec_send_packet(decoder, packet.get()), 0);
  EXPECT_EQ(avcodec_receive_frame(decoder, decoded.get()), 0);
}

// A frame whose bytes hold a profile value is cut in two by the scanner. Its first part does
// not decode; sent again together with the rest, it gives the very samples of the whole frame.
TEST(DecodeFramesToPcmTest, AFrameCutByAFalseHeadIsSentAgainWhole) {
  const Recording& sample = MakeOnce(2);
  const FrameRun run = CleanRun(sample, 12);
  const Bytes damaged = Bytes(run.bytes).U16(0x0000);
  const std::size_t cut = 3;  // the frame whose bytes get a false head
  std::size_t frameStart = 0;
  for (std::size_t i = 0; i < cut; ++i) frameStart += run.frames[i].size();

  // A value found once in the whole file, a few bytes into the frame.
  FrameHeadSet heads = run.heads;
  std::size_t falseHead = 0;
  for (std::size_t k = 4; k < 16 && falseHead == 0; ++k) {
    const auto& data = damaged.data();
    const auto value =
        static_cast<std::uint16_t>(data[frameStart + k] << 8 | data[frameStart + k + 1]);
    std::size_t seen = 0;
    for (std::size_t p = 0; p + 1 < data.size(); ++p) {
      seen += static_cast<std::uint16_t>(data[p] << 8 | data[p + 1]) == value;
    }
    if (seen == 1 && (value & 0xFF) != 0) {
      heads.insert(value);
      falseHead = frameStart + k;
    }
  }
  ASSERT_NE(falseHead, 0u);

  Decoding decoding(sample.path, damaged, heads);
  // The scanner does cut the frame there.
  decoding.file().Seek(frameStart, kSeekSet);
  FrameSpan span;
  ASSERT_EQ(FindFrameInFile(decoding.context, decoding.file(), span), kOk);
  EXPECT_EQ(span.start, frameStart);
  EXPECT_EQ(span.length, falseHead - frameStart);
  decoding.file().Seek(0, kSeekSet);

  EXPECT_EQ(decoding.Run(), kOk);
  EXPECT_EQ(decoding.Pcm(), ReferencePcm(sample.path, run.frames));
}

// Left and right of every sample of interleaved 16-bit stereo.
bool ChannelsEqual(const FrameBytes& pcm) {
  for (std::size_t i = 0; i + 3 < pcm.size(); i += 4) {
    if (pcm[i] != pcm[i + 2] || pcm[i + 1] != pcm[i + 3]) return false;
  }
  return true;
}

TEST(DecodeFramesToPcmTest, AMonoSampleStillGivesStereo) {
  const Recording& sample = MakeOnce(1);
  const FrameRun run = CleanRun(sample, 12);
  Decoding decoding(sample.path, Bytes(run.bytes).U16(0x0000), run.heads);
  ASSERT_EQ(decoding.decoder.decoderContext->ch_layout.nb_channels, 1);
  EXPECT_EQ(decoding.Run(), kOk);
  const FrameBytes pcm = decoding.Pcm();
  EXPECT_EQ(pcm.size(), run.frames.size() * 4096);
  EXPECT_TRUE(ChannelsEqual(pcm));
  EXPECT_EQ(pcm, ReferencePcm(sample.path, run.frames));
}

// AAC lets a stream carry one channel under a two-channel configuration and the reverse. The
// decoder keeps two output channels for one-channel frames under the stereo configuration, but
// switches to two for two-channel frames under the mono one; the conversion then follows it,
// rather than mixing only the first plane (or, the other way round, reading a plane that the
// frame does not have).
TEST(DecodeFramesToPcmTest, FramesWithAnotherChannelCountThanTheSample) {
  for (auto [sampleChannels, frameChannels] : {std::pair{2, 1}, std::pair{1, 2}}) {
    SCOPED_TRACE(testing::Message()
                 << sampleChannels << "-channel sample, " << frameChannels << "-channel frames");
    const Recording& sample = MakeOnce(sampleChannels);
    const FrameRun run = CleanRun(MakeOnce(frameChannels), 12);
    Decoding decoding(sample.path, Bytes(run.bytes).U16(0x0000), run.heads);
    EXPECT_EQ(decoding.Run(), kOk);
    const FrameBytes pcm = decoding.Pcm();
    EXPECT_EQ(pcm.size(), run.frames.size() * 4096);
    if (frameChannels == 2) {
      EXPECT_FALSE(ChannelsEqual(pcm));
    }
  }
}

TEST(OpenSampleDecoderTest, AMissingFileIsLoggedWithFfmpegsReason) {
  test::LogCapture log;
  TempDir dir;
  RepairContext context;
  SampleDecoder decoder;
  EXPECT_EQ(OpenSampleDecoder(context, decoder, dir.File("none.m4a")), kMediaFailed);
  EXPECT_EQ(log.Messages(),
            std::vector<std::string>{">>[!] The file cant't open :No such file or directory"});
  EXPECT_FALSE(decoder.formatContext || decoder.decoderContext || decoder.resampler);
}

TEST(OpenSampleDecoderTest, TheResamplerFollowsTheDecoderAndRefusesWhatItCannotMix) {
  RepairContext context;
  SampleDecoder decoder;
  ASSERT_EQ(OpenSampleDecoder(context, decoder, MakeOnce(2).path), kOk);
  ASSERT_TRUE(decoder.resampler);
  EXPECT_EQ(decoder.decoderContext->sample_rate, 44100);
  // No channels have no layout to mix from; the slot is left empty, not half set up.
  EXPECT_LT(ConfigureStereoResampler(decoder.resampler, 0, AV_SAMPLE_FMT_FLTP, 44100), 0);
  EXPECT_FALSE(decoder.resampler);
}

}  // namespace
}  // namespace quillmend
