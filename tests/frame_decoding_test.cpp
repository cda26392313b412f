// The advanced repair's profile of the sample and its decoding of the damaged file's frames.
#include "repair/frame_decoding.h"

#include <functional>

#include "io/utf8.h"
#include "mp4/frame_scanner.h"
#include "repair/sample_decoder.h"
#include "repair/stages.h"
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

FrameRun CleanRun(int channels) {
  const auto packets = test::ReadMedia(SampleWith(channels)).packets;
  // The first frames are the encoder's start-up; the run is taken from the steady part.
  for (std::size_t first = 8; first + 12 <= packets.size(); ++first) {
    FrameRun run;
    std::set<std::size_t> starts;
    for (std::size_t i = first; i < first + 12; ++i) {
      starts.insert(run.bytes.size());
      run.frames.push_back(packets[i].data);
      run.heads.insert(std::uint16_t(packets[i].data[0] << 8 | packets[i].data[1]));
      run.bytes.Raw(packets[i].data);
    }
    const ByteVector& data = run.bytes.data;
    bool usable = true;
    for (std::size_t p = 0; usable && p + 1 < data.size(); ++p) {
      usable = !run.heads.contains(std::uint16_t(data[p] << 8 | data[p + 1])) || starts.contains(p);
    }
    if (usable) return run;
  }
  ADD_FAILURE() << "no run of 12 frames without false heads";
  return {};
}

// Sends one frame to a decoder and receives what it gives back.
int SendAndReceive(AVCodecContext* decoder, ByteVector bytes, AVFrame* frame) {
  PacketPtr packet(av_packet_alloc());
  packet->data = bytes.data(), packet->size = int(bytes.size());
  const int sent = avcodec_send_packet(decoder, packet.get());
  return sent < 0 ? sent : avcodec_receive_frame(decoder, frame);
}

// The frames decoded one packet each by a fresh decoder of the sample, with the same
// conversion: what the scanning and the merging of spans must reproduce.
ByteVector ReferencePcm(const std::string& samplePath, const std::vector<ByteVector>& frames) {
  RepairContext context;
  SampleDecoder decoder;
  EXPECT_EQ(OpenSampleDecoder(context, decoder, samplePath), kOk);
  FramePtr frame(av_frame_alloc());
  ByteVector pcm;
  for (const ByteVector& bytes : frames) {
    EXPECT_EQ(SendAndReceive(decoder.decoderContext.get(), bytes, frame.get()), 0);
    ByteVector out(std::size_t(frame->nb_samples) * 4);
    std::uint8_t* planes[] = {out.data()};
    swr_convert(decoder.resampler.get(), planes, frame->nb_samples,
                const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
    pcm.insert(pcm.end(), out.begin(), out.end());
  }
  return pcm;
}

// One call of DecodeFramesToPcm over a damaged file of the given bytes and profile.
struct Decoding : test::ContextOver {
  Decoding(const std::string& samplePath, const Bytes& damaged, const FrameHeadSet& heads)
      : ContextOver(damaged) {
    context.frameHeads = std::make_shared<const FrameHeadSet>(heads);
    EXPECT_EQ(OpenSampleDecoder(context, decoder, samplePath), kOk);
  }
  ResultCode Run() {
    AppendFile pcm(dir.File("tmp.pcm"));
    return DecodeFramesToPcm(context, *context.file, *decoder.decoderContext, decoder.resampler,
                             pcm);
  }
  ByteVector Pcm() const { return test::ReadFile(dir.File("tmp.pcm")); }
  test::TempDir dir;
  SampleDecoder decoder;
};

struct Case {
  const char* name;
  int sampleChannels, frameChannels;
  std::function<Bytes(const FrameRun&)> damaged;
  ResultCode result;
  std::size_t lost;  // frames at the end of the run that do not reach the PCM file
  bool profile = true;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const auto kClosed = [](const FrameRun& run) { return Bytes(run.bytes).U16(0x0000); };
const auto kOpen = [](const FrameRun& run) { return run.bytes; };
const Case kCases[] = {
    {"TwoTrailingBytesCloseTheLastFrame", 2, 2, kClosed, kOk, 0},
    {"TheTailRuleCutsTheLastFrameShortOfTwoBytes", 2, 2, kOpen, kEndOfScan, 1},
    // The head after the run opens a frame whose tail is too long for one: the scan ends on a
    // span of length 0, which adds nothing and does not count as decoded.
    {"AnEmptyFinalSpanIsRefusedNotTakenForTheEnd", 2, 2,
     [](auto& run) { return Bytes(run.bytes).Raw(run.frames[0]).Fill(4200, 0); }, kEndOfScan, 0},
    {"WithoutAHeadTheDecoderIsNotTouched", 2, 2, kOpen, kOk, 12, false},
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
  Decoding decoding(SampleWith(c.sampleChannels), c.damaged(run),
                    c.profile ? run.heads : FrameHeadSet{});
  EXPECT_EQ(decoding.Run(), c.result);
  const ByteVector pcm = decoding.Pcm();
  // 1024 samples per frame, two channels of two bytes, whatever the sample's channels.
  EXPECT_EQ(pcm.size(), (run.frames.size() - c.lost) * 4096);
  if (c.sampleChannels == c.frameChannels) {
    const std::vector<ByteVector> decoded(run.frames.begin(), run.frames.end() - long(c.lost));
    EXPECT_EQ(pcm, ReferencePcm(SampleWith(c.sampleChannels), decoded));
  }
  bool channelsEqual = true;  // left and right of every sample
  for (std::size_t i = 0; i + 3 < pcm.size(); i += 4) {
    channelsEqual &= pcm[i] == pcm[i + 2] && pcm[i + 1] == pcm[i + 3];
  }
  EXPECT_TRUE(c.frameChannels == 1 || pcm.empty() || !channelsEqual);
  EXPECT_TRUE(c.sampleChannels == 2 || c.frameChannels == 2 || channelsEqual);
  // Every frame decoded once, and the decoder never drained: a frame sent now still decodes.
  AVCodecContext* decoder = decoding.decoder.decoderContext.get();
  EXPECT_EQ(std::size_t(decoder->frame_number), run.frames.size() - c.lost);
  EXPECT_EQ(SendAndReceive(decoder, run.frames[0], FramePtr(av_frame_alloc()).get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Spans, DecodeCaseTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

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
    const int value = data[k] << 8 | data[k + 1];
    std::size_t seen = 0;
    for (std::size_t p = 0; p + 1 < data.size(); ++p) seen += (data[p] << 8 | data[p + 1]) == value;
    if (seen == 1 && (value & 0xFF) != 0) heads.insert(std::uint16_t(value)), falseHead = k;
  }
  ASSERT_NE(falseHead, 0u);
  Decoding decoding(SampleWith(2), damaged, heads);
  decoding.context.file->Seek(frameStart, kSeekSet);
  FrameSpan span;
  ASSERT_EQ(FindFrameInFile(decoding.context, *decoding.context.file, span), kOk);
  EXPECT_EQ(span.length, falseHead - frameStart);  // the scanner does cut the frame there
  decoding.context.file->Seek(0, kSeekSet);
  EXPECT_EQ(decoding.Run(), kOk);
  EXPECT_EQ(decoding.Pcm(), ReferencePcm(SampleWith(2), run.frames));
}

// The oracle is FFmpeg's demuxer, not our own tables.
TEST(LearnFrameHeadsTest, LearnsTheHeadsOfARealRecording) {
  const std::string path = test::Media("recorder-sample.m4a");
  FrameHeadSet expected;
  for (const auto& packet : test::ReadMedia(path).packets) {
    if (packet.data[1] != 0) expected.insert(std::uint16_t(packet.data[0] << 8 | packet.data[1]));
  }
  RepairContext context;
  ASSERT_EQ(MapContextFile(context, path), kOk);
  ASSERT_EQ(PrepareSampleFile(context), kOk);
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(*context.frameHeads, expected);
}

}  // namespace
}  // namespace quillmend
