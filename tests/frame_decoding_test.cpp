#include "repair/frame_decoding.h"

#include <functional>
#include <memory>

#include "io/utf8.h"
#include "mp4/frame_scanner.h"
#include "repair/sample_decoder.h"
#include "support/context.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ByteVector;

std::string SampleWith(int channels) {
  return test::Media(channels == 1 ? "mono-sample.m4a" : "recorder-sample.m4a");
}

// Consecutive frames of a recording whose heads occur in their bytes only where the frames
// begin, so that a profile of exactly those heads cuts the bytes into exactly those frames.
struct FrameRun {
  std::vector<ByteVector> frames;
  FrameHeadSet heads;
  Bytes bytes;
};

FrameRun CleanRun(int channels, std::size_t count = 12) {
  std::vector<ByteVector> all;
  for (auto& packet : test::ReadMedia(SampleWith(channels)).packets) all.push_back(packet.data);
  // The first frames are the encoder's start-up; the run is taken from the steady part.
  for (std::size_t first = 8; first + count <= all.size(); ++first) {
    FrameRun run;
    std::set<std::size_t> starts;
    bool usable = true;
    for (std::size_t i = first; i < first + count; ++i) {
      usable = usable && all[i][1] != 0x00;
      starts.insert(run.bytes.size());
      run.frames.push_back(all[i]);
      run.heads.insert(static_cast<std::uint16_t>(all[i][0] << 8 | all[i][1]));
      run.bytes.Raw(all[i]);
    }
    const ByteVector& data = run.bytes.data;
    for (std::size_t p = 0; usable && p + 1 < data.size(); ++p) {
      usable = !run.heads.contains(std::uint16_t(data[p] << 8 | data[p + 1])) || starts.contains(p);
    }
    if (usable) return run;
  }
  ADD_FAILURE() << "no run of " << count << " frames without false heads";
  return {};
}

// The frames decoded one packet each by a fresh decoder of the sample, with the same
// conversion: what the scanning and the merging of spans must reproduce.
ByteVector ReferencePcm(const std::string& samplePath, const std::vector<ByteVector>& frames) {
  RepairContext context;
  SampleDecoder decoder;
  EXPECT_EQ(OpenSampleDecoder(context, decoder, samplePath), kOk);
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  ByteVector pcm;
  for (ByteVector bytes : frames) {
    packet->data = bytes.data();
    packet->size = static_cast<int>(bytes.size());
    EXPECT_EQ(avcodec_send_packet(decoder.decoderContext.get(), packet.get()), 0);
    EXPECT_EQ(avcodec_receive_frame(decoder.decoderContext.get(), frame.get()), 0);
    ByteVector out(static_cast<std::size_t>(frame->nb_samples) * 4);
    std::uint8_t* planes[] = {out.data()};
    EXPECT_EQ(
        swr_convert(decoder.resampler.get(), planes, frame->nb_samples,
                    const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples),
        frame->nb_samples);
    pcm.insert(pcm.end(), out.begin(), out.end());
  }
  return pcm;
}

// One call of DecodeFramesToPcm over a damaged file of the given bytes and profile.
struct Decoding {
  Decoding(const std::string& samplePath, const Bytes& damaged, const FrameHeadSet& heads) {
    test::WriteFile(dir.File("damaged.m4a"), damaged);
    file = std::make_unique<MappedFile>(Utf8ToWide(dir.File("damaged.m4a")));
    context.frameHeads = std::make_shared<const FrameHeadSet>(heads);
    EXPECT_EQ(OpenSampleDecoder(context, decoder, samplePath), kOk);
  }
  ResultCode Run() {
    AppendFile pcm(dir.File("tmp.pcm"));
    return DecodeFramesToPcm(context, *file, *decoder.decoderContext, decoder.resampler, pcm);
  }
  ByteVector Pcm() const { return test::ReadFile(dir.File("tmp.pcm")); }

  test::TempDir dir;
  RepairContext context;
  SampleDecoder decoder;
  std::unique_ptr<MappedFile> file;
};

// Left and right of every sample of interleaved 16-bit stereo.
bool ChannelsEqual(const ByteVector& pcm) {
  for (std::size_t i = 0; i + 3 < pcm.size(); i += 4) {
    if (pcm[i] != pcm[i + 2] || pcm[i + 1] != pcm[i + 3]) return false;
  }
  return true;
}

struct Case {
  const char* name;
  int sampleChannels, frameChannels;
  std::function<Bytes(const FrameRun&)> damaged;
  ResultCode result;
  std::size_t lost;  // frames at the end of the run that do not reach the PCM file
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const auto kClosed = [](const FrameRun& run) { return Bytes(run.bytes).U16(0x0000); };
const Case kCases[] = {
    {"TwoTrailingBytesCloseTheLastFrame", 2, 2, kClosed, kOk, 0},
    {"TheTailRuleCutsTheLastFrameShortOfTwoBytes", 2, 2, [](auto& run) { return run.bytes; },
     kEndOfScan, 1},
    // The head after the run opens a frame whose tail is too long for one: the scan ends on a
    // span of length 0, which adds nothing and does not count as decoded.
    {"AnEmptyFinalSpanIsRefusedNotTakenForTheEnd", 2, 2,
     [](auto& run) { return Bytes(run.bytes).Raw(run.frames[0]).Fill(4200, 0); }, kEndOfScan, 0},
    {"AMonoSampleStillGivesStereo", 1, 1, kClosed, kOk, 0},
    // AAC lets a stream carry one channel under a two-channel configuration and the reverse;
    // the conversion follows the decoder rather than mixing the first plane only (or reading a
    // plane the frame does not have).
    {"OneChannelFramesUnderAStereoSample", 2, 1, kClosed, kOk, 0},
    {"TwoChannelFramesUnderAMonoSample", 1, 2, kClosed, kOk, 0},
};

class DecodeCaseTest : public testing::TestWithParam<Case> {};

TEST_P(DecodeCaseTest, WritesExactlyTheDecodedFramesAsStereo) {
  const Case& c = GetParam();
  const FrameRun run = CleanRun(c.frameChannels);
  Decoding decoding(SampleWith(c.sampleChannels), c.damaged(run), run.heads);
  EXPECT_EQ(decoding.Run(), c.result);
  const ByteVector pcm = decoding.Pcm();
  // 1024 samples per frame, two channels of two bytes, whatever the sample's channels.
  EXPECT_EQ(pcm.size(), (run.frames.size() - c.lost) * 4096);
  if (c.sampleChannels == c.frameChannels) {
    const std::vector<ByteVector> decoded(run.frames.begin(), run.frames.end() - long(c.lost));
    EXPECT_EQ(pcm, ReferencePcm(SampleWith(c.sampleChannels), decoded));
  }
  if (c.frameChannels == 2) {
    EXPECT_FALSE(ChannelsEqual(pcm));
  }
  if (c.sampleChannels == 1 && c.frameChannels == 1) {
    EXPECT_TRUE(ChannelsEqual(pcm));
  }
}

INSTANTIATE_TEST_SUITE_P(Spans, DecodeCaseTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeFramesToPcmTest, WithoutAHeadTheDecoderIsNotTouched) {
  const FrameRun run = CleanRun(2, 4);
  Decoding decoding(SampleWith(2), run.bytes, {});
  EXPECT_EQ(decoding.Run(), kOk);
  EXPECT_TRUE(decoding.Pcm().empty());
  // Not drained either: a frame sent now still decodes.
  AVCodecContext* decoder = decoding.decoder.decoderContext.get();
  EXPECT_EQ(decoder->frame_number, 0);
  ByteVector frame = run.frames[0];
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
  const FrameRun run = CleanRun(2);
  const Bytes damaged = Bytes(run.bytes).U16(0x0000);
  const ByteVector& data = damaged.data;
  const std::size_t frameStart = run.frames[0].size() + run.frames[1].size() + run.frames[2].size();
  // A value found once in the whole file, a few bytes into the fourth frame.
  FrameHeadSet heads = run.heads;
  std::size_t falseHead = 0;
  for (std::size_t k = frameStart + 4; k < frameStart + 16 && falseHead == 0; ++k) {
    const auto value = static_cast<std::uint16_t>(data[k] << 8 | data[k + 1]);
    std::size_t seen = 0;
    for (std::size_t p = 0; p + 1 < data.size(); ++p) seen += (data[p] << 8 | data[p + 1]) == value;
    if (seen == 1 && (value & 0xFF) != 0) heads.insert(value), falseHead = k;
  }
  ASSERT_NE(falseHead, 0u);

  Decoding decoding(SampleWith(2), damaged, heads);
  decoding.file->Seek(frameStart, kSeekSet);
  FrameSpan span;
  ASSERT_EQ(FindFrameInFile(decoding.context, *decoding.file, span), kOk);
  EXPECT_EQ(span.length, falseHead - frameStart);  // the scanner does cut the frame there
  decoding.file->Seek(0, kSeekSet);
  EXPECT_EQ(decoding.Run(), kOk);
  EXPECT_EQ(decoding.Pcm(), ReferencePcm(SampleWith(2), run.frames));
}

class OpenSampleDecoderTest : public test::LogTest {};

TEST_F(OpenSampleDecoderTest, AMissingFileIsLoggedWithFfmpegsReason) {
  RepairContext context;
  SampleDecoder decoder;
  EXPECT_EQ(OpenSampleDecoder(context, decoder, logDir_.File("none.m4a")), kMediaFailed);
  EXPECT_EQ(Messages(),
            std::vector<std::string>{">>[!] The file cant't open :No such file or directory"});
  EXPECT_FALSE(decoder.formatContext || decoder.decoderContext || decoder.resampler);
}

TEST_F(OpenSampleDecoderTest, TheResamplerRefusesWhatItCannotMix) {
  RepairContext context;
  SampleDecoder decoder;
  ASSERT_EQ(OpenSampleDecoder(context, decoder, SampleWith(2)), kOk);
  ASSERT_TRUE(decoder.resampler);
  EXPECT_EQ(decoder.decoderContext->sample_rate, 44100);
  // No channels have no layout to mix from; the slot is left empty, not half set up.
  EXPECT_LT(ConfigureStereoResampler(decoder.resampler, 0, AV_SAMPLE_FMT_FLTP, 44100), 0);
  EXPECT_FALSE(decoder.resampler);
}

}  // namespace
}  // namespace quillmend
