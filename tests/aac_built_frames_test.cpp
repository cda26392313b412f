// Frames no encoder here writes, built bit by bit: HE-AAC and HE-AAC v2 (SBR and PS in fill
// elements), long-term prediction, AAC Main's longer TNS filters and predictor resets. FFmpeg's
// decoder reads each one too, so that the builder's idea of the syntax is the decoder's and not
// only the parser's.
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <random>

#include "aac/audio_config.h"
#include "aac/raw_data_block.h"
#include "aac/sbr.h"
#include "aac/tables.h"
#include "convert/ffmpeg_ptr.h"
#include "convert/m4a_writer.h"
#include "mp4/container.h"
#include "repair/exact_repair.h"
#include "support/support.h"

namespace quillmend::aac {
namespace {

using test::ByteVector;

class BitWriter {
 public:
  // Any number of bits; those above the value's 64 are zero.
  BitWriter& Put(std::uint64_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i, ++bits_) {
      if (bits_ % 8 == 0) bytes_.push_back(0);
      const std::uint64_t bit = i < 64 ? (value >> i) & 1 : 0;
      bytes_.back() |= static_cast<std::uint8_t>(bit << (7 - bits_ % 8));
    }
    return *this;
  }
  BitWriter& Put(const BitWriter& other) {
    for (std::size_t i = 0; i < other.bits_; ++i) Put(other.bytes_[i / 8] >> (7 - i % 8), 1);
    return *this;
  }
  void PutCode(int book, int difference) {
    const auto codes = SbrCodes(book);
    const Codeword code = codes[codes.size() / 2 + static_cast<std::size_t>(difference)];
    Put(code.code, code.length);
  }
  std::size_t Bits() const { return bits_; }
  ByteVector End() { return Put(kEnd, 3).bytes_; }

 private:
  ByteVector bytes_;
  std::size_t bits_ = 0;
};

// What FFmpeg's decoder makes of each frame, fed one after another as an MP4 file's frames.
struct Decoded {
  std::string complaints;  // its warnings and errors
  int profile = -1, rate = 0, channels = 0;
};

std::string* complaints = nullptr;
void Collect(void*, int level, const char* format, va_list arguments) {
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
  if (level <= AV_LOG_WARNING && complaints != nullptr) *complaints += line;
}

std::vector<Decoded> Decode(const AudioConfig& config, const std::vector<ByteVector>& frames) {
  const ByteVector bytes = MakeAudioConfig(config);
  std::vector<Decoded> decoded(frames.size());
  av_log_set_callback(Collect);
  CodecContextPtr context(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_AAC)));
  context->extradata =
      static_cast<std::uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::copy(bytes.begin(), bytes.end(), context->extradata);
  context->extradata_size = static_cast<int>(bytes.size());
  EXPECT_EQ(avcodec_open2(context.get(), nullptr, nullptr), 0);
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    complaints = &decoded[i].complaints;
    EXPECT_EQ(av_new_packet(packet.get(), static_cast<int>(frames[i].size())), 0);
    std::copy(frames[i].begin(), frames[i].end(), packet->data);
    if (avcodec_send_packet(context.get(), packet.get()) < 0) decoded[i].complaints += "failed";
    while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
      decoded[i].rate = frame->sample_rate;
      decoded[i].channels = frame->ch_layout.nb_channels;
    }
    decoded[i].profile = context->profile;
    av_packet_unref(packet.get());
  }
  complaints = nullptr;
  av_log_set_callback(av_log_default_callback);
  return decoded;
}

// An SCE or CPE whose channels code no band, then a fill element around an extension payload.
void PutSilentElement(BitWriter& w, bool pair) {
  w.Put(pair ? kCpe : kSce, 3).Put(0, 4).Put(0, pair ? 1 : 0);  // tag, common_window
  for (int channel = 0; channel < (pair ? 2 : 1); ++channel) w.Put(100, 8).Put(0, 14);
}

void PutFill(BitWriter& w, int type, const BitWriter& payload) {
  const std::size_t count = (4 + payload.Bits() + 7) / 8;
  w.Put(kFil, 3).Put(std::min<std::size_t>(count, 15), 4).Put(count - 14, count < 15 ? 0 : 8);
  w.Put(static_cast<std::uint32_t>(type), 4)
      .Put(payload)
      .Put(0, int(count * 8 - 4) - int(payload.Bits()));
}

// SBR payloads as encoders write them, with envelope and noise values inside the decoder's
// ranges: a start and small steps across frequency, "no change" across time.
class SbrWriter {
 public:
  SbrWriter(const SbrHeader& header, const SbrBands& bands, unsigned seed)
      : header_(header), bands_(bands), random_(seed) {}

  BitWriter Payload(bool withHeader, bool pair, bool coupled, bool ps, bool crc) {
    coupled = pair && coupled;
    const SbrHeader& h = header_;
    BitWriter w;
    w.Put(0x155, crc ? 10 : 0).Put(withHeader, 1);
    if (withHeader) {
      w.Put(h.ampRes, 1).Put(h.startFreq, 4).Put(h.stopFreq, 4).Put(h.xoverBand, 3).Put(0, 2);
      w.Put(2, 2).Put(h.freqScale, 2).Put(h.alterScale, 1).Put(h.noiseBands, 2);
    }
    w.Put(0, 1).Put(coupled, pair ? 1 : 0);  // bs_data_extra, bs_coupling
    const int channels = pair ? 2 : 1;
    Grid grids[2] = {PutGrid(w), {}};
    grids[1] = pair && !coupled ? PutGrid(w) : grids[0];
    for (int c = 0; c < channels; ++c) {
      for (int i = 0; i < grids[c].envelopes + grids[c].floors; ++i) {
        w.Put(grids[c].time[i] = random_() % 2, 1);
      }
    }
    w.Put(random_(), 2 * bands_.noise * (coupled ? 1 : channels));  // inverse filtering
    if (coupled) {  // the second channel as a balance to the first
      PutEnvelopes(w, grids[0], false), PutNoise(w, grids[0], false);
      PutEnvelopes(w, grids[1], true), PutNoise(w, grids[1], true);
    } else {
      for (int c = 0; c < channels; ++c) PutEnvelopes(w, grids[c], false);
      for (int c = 0; c < channels; ++c) PutNoise(w, grids[c], false);
    }
    for (int c = 0; c < channels; ++c) {
      const bool harmonics = random_() % 2;
      w.Put(harmonics, 1).Put(random_(), harmonics ? bands_.high : 0);
    }
    // A PS extension of 2 bytes: its id, and a PS header that turns every PS tool off.
    w.Put(ps, 1);
    if (ps) w.Put(2, 4).Put(2, 2).Put(0b1000000, 7).Put(0, 7);
    return w;
  }

 private:
  struct Grid {
    int envelopes = 1, floors = 1, ampRes = 0;
    bool high[5] = {}, time[7] = {};  // by envelope; delta coding across time, floors last
  };

  // One of each frame class; the variable ones with fixed borders (0 14 16, 0 2 4 16, 1 5 14 16).
  Grid PutGrid(BitWriter& w) {
    struct Shape {
      std::uint32_t bits;
      int length, envelopes;
    };
    constexpr Shape kShapes[] = {{0b01'00'01'00'00, 10, 2},
                                 {0b10'00'10'00'00'00, 12, 3},
                                 {0b11'01'00'01'01'01'00'10, 16, 3}};
    Grid g;
    g.ampRes = header_.ampRes;
    const unsigned frameClass = random_() % 4;
    if (frameClass == 0) {  // 1, 2 or 4 envelopes of equal length
      const unsigned log = random_() % 3;
      g.envelopes = 1 << log;
      std::fill(g.high, g.high + g.envelopes, random_() % 2);
      w.Put(0, 2).Put(log, 2).Put(g.high[0], 1);
      if (g.envelopes == 1) g.ampRes = 0;
    } else {
      const Shape& shape = kShapes[frameClass - 1];
      g.envelopes = shape.envelopes;
      w.Put(shape.bits, shape.length);
      for (int i = 0; i < g.envelopes; ++i) w.Put(g.high[i] = random_() % 2, 1);
      if (frameClass == 1) std::reverse(g.high, g.high + g.envelopes);  // sent last first
    }
    g.floors = g.envelopes > 1 ? 2 : 1;
    return g;
  }

  void PutValues(BitWriter& w, bool time, int count, int book, int startBits, int top) {
    if (time) {
      for (int j = 0; j < count; ++j) w.PutCode(book, 0);
      return;
    }
    w.Put(top / 3, startBits);
    for (int j = 1, value = top / 3; j < count; ++j) {
      const int step = std::clamp(value + static_cast<int>(random_() % 7) - 3, 0, top) - value;
      w.PutCode(book + 1, step);  // each time codebook is followed by its frequency codebook
      value += step;
    }
  }

  void PutEnvelopes(BitWriter& w, const Grid& g, bool balance) {
    const bool coarse = g.ampRes != 0;
    const int book = balance ? (coarse ? kSbrBalanceTime30 : kSbrBalanceTime15)
                             : (coarse ? kSbrEnvelopeTime30 : kSbrEnvelopeTime15);
    for (int i = 0; i < g.envelopes; ++i) {
      PutValues(w, g.time[i], g.high[i] ? bands_.high : bands_.low, book,
                (coarse ? 6 : 7) - balance,
                (balance ? 24 : 50) << !coarse);  // 3.0 dB steps count double
    }
  }

  void PutNoise(BitWriter& w, const Grid& g, bool balance) {
    for (int i = 0; i < g.floors; ++i) {
      if (g.time[g.envelopes + i]) {
        for (int j = 0; j < bands_.noise; ++j) {
          w.PutCode(balance ? kSbrNoiseBalanceTime : kSbrNoiseTime, 0);
        }
      } else {
        PutValues(w, false, bands_.noise, balance ? kSbrBalanceTime30 : kSbrEnvelopeTime30, 5,
                  balance ? 15 : 30);
      }
    }
  }

  SbrHeader header_;
  SbrBands bands_;
  std::mt19937 random_;
};

// Random headers at every rate SBR runs at. The parser takes a header exactly when FFmpeg's
// decoder does; with a header it takes, frames of every shape (mono with and without PS, pairs
// coupled or not, with the header or without, with a CRC or not) read to the length built, with
// the SBR, header and PS that the decoder finds in them.
TEST(HeAac, FramesReadAsTheDecoderReadsThem) {
  std::mt19937 random(11);
  int taken = 0, refused = 0;
  for (int round = 0; round < 300; ++round) {
    const int index = 3 + round % 9;  // 48 kHz ... 8 kHz
    const auto field = [&](int bits) { return static_cast<int>(random() % (1u << bits)); };
    const SbrHeader h{field(1), field(4), field(4), field(3), field(2), field(1), field(2)};
    SCOPED_TRACE(testing::Message() << "index " << index << ", header " << h.ampRes << " "
                                    << h.startFreq << " " << h.stopFreq << " " << h.xoverBand << " "
                                    << h.freqScale << " " << h.alterScale << " " << h.noiseBands);
    SbrBands bands;
    if (!SbrBandsFor(h, 2 * SamplingRateFromIndex(index), &bands)) {
      ++refused;
      BitWriter w;  // the header alone: the decoder reads no data after a header it refuses
      PutSilentElement(w, false);
      PutFill(w, 13,
              BitWriter()
                  .Put(1, 1)
                  .Put(h.ampRes, 1)
                  .Put(h.startFreq, 4)
                  .Put(h.stopFreq, 4)
                  .Put(h.xoverBand, 3)
                  .Put(0b00'10, 4)
                  .Put(h.freqScale, 2)
                  .Put(h.alterScale, 1)
                  .Put(h.noiseBands, 2));
      const std::string said = Decode({kLc, index, 0, 1, true}, {w.End()})[0].complaints;
      EXPECT_NE(said.find("SBR reset failed"), std::string::npos) << said;
      continue;
    }
    ++taken;
    SbrWriter sbr(h, bands, static_cast<unsigned>(round));
    for (const bool pair : {false, true}) {
      std::vector<ByteVector> frames;
      for (int i = 0; i < 8; ++i) {
        BitWriter w;
        PutSilentElement(w, pair);
        PutFill(w, i % 3 == 1 ? 14 : 13,
                sbr.Payload(i % 4 != 2, pair, i % 2, !pair && i % 2 == 0, i % 3 == 1));
        frames.push_back(w.End());
      }
      const std::vector<Decoded> decoded =
          Decode({kLc, index, 0, pair ? 2 : 1, true, !pair}, frames);
      for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(testing::Message() << (pair ? "pair" : "single") << " frame " << i);
        const bool ps = !pair && i % 2 == 0, header = i % 4 != 2;
        const FrameInfo info = ParseRawDataBlock(frames[i].data(), frames[i].size(), index);
        ASSERT_EQ(info.status, FrameStatus::kValid);
        EXPECT_EQ(info.bytes, frames[i].size());
        EXPECT_TRUE(info.hasSbr);
        EXPECT_EQ(info.hasSbrHeader, header);
        EXPECT_EQ(info.hasPs, ps && header);  // without a header, nothing says where PS is
        EXPECT_EQ(decoded[i].complaints, "");
        EXPECT_EQ(decoded[i].profile, ps ? FF_PROFILE_AAC_HE_V2 : FF_PROFILE_AAC_HE);
        EXPECT_EQ(decoded[i].rate, 2 * SamplingRateFromIndex(index));
        EXPECT_EQ(decoded[i].channels, 2);
      }
    }
  }
  EXPECT_GT(taken, 50);
  EXPECT_GT(refused, 50);
}

// A payload too short for the header its flag announces has none: the bits after it belong to
// the next element (here a second, silent channel), which the flag must not reach into.
TEST(HeAac, HeaderMustFitItsPayload) {
  BitWriter w;
  PutSilentElement(w, false);
  w.Put(kFil, 3).Put(1, 4).Put(14, 4).Put(0, 4);  // one byte: type, and 4 of the 10 CRC bits
  w.Put(kSce, 3).Put(1, 4).Put(0xFFFF, 8).Put(0, 14);
  const ByteVector frame = w.End();
  const FrameInfo info = ParseRawDataBlock(frame.data(), frame.size(), 6);
  ASSERT_EQ(info.status, FrameStatus::kValid);
  EXPECT_TRUE(info.hasSbr);
  EXPECT_FALSE(info.hasSbrHeader);
}

// The explicit configuration makes FFmpeg's demuxer report HE-AAC v2 at the output rate, from an
// MP4 file written as the repair writes one; the frames last 1024 samples at the core rate.
TEST(HeAac, ConfigTellsPlayersTheOutputRate) {
  const SbrHeader header{0, 5, 9, 0, 2, 1, 2};
  SbrBands bands;
  ASSERT_TRUE(SbrBandsFor(header, 44100, &bands));
  SbrWriter sbr(header, bands, 1);
  test::TempDir dir;
  M4aWriter writer;
  ASSERT_EQ(
      writer.Open(dir.path() / "he.m4a", 22050, 1, MakeAudioConfig({kLc, 7, 0, 1, true, true})),
      "");
  for (int i = 0; i < 200; ++i) {
    BitWriter w;
    PutSilentElement(w, false);
    PutFill(w, 13, sbr.Payload(true, false, false, true, false));
    const ByteVector frame = w.End();
    ASSERT_EQ(writer.Write(frame.data(), static_cast<std::uint32_t>(frame.size())), "");
  }
  ASSERT_EQ(writer.Close(), "");
  // The header alone gives the rate; decoding the first frames (as ffprobe does) finds PS.
  // Without the explicit signalling the decoding would find both, the header neither.
  AVFormatContext* opened = nullptr;
  ASSERT_EQ(avformat_open_input(&opened, dir.File("he.m4a").c_str(), nullptr, nullptr), 0);
  const InputFormatPtr format(opened);
  const AVStream* stream = format->streams[0];
  EXPECT_EQ(stream->codecpar->sample_rate, 44100);
  ASSERT_GE(avformat_find_stream_info(format.get(), nullptr), 0);
  EXPECT_EQ(stream->codecpar->profile, FF_PROFILE_AAC_HE_V2);
  EXPECT_EQ(stream->codecpar->ch_layout.nb_channels, 2);
  EXPECT_NEAR(double(stream->duration) * av_q2d(stream->time_base), 200 * 1024 / 22050.0, 1e-6);
}

// A long window's ics_info with the prediction bits `prediction` writes, and a channel's data
// after it: one section of the zero codebook over every band, no pulses, TNS data from `tns`.
// A damaged HE-AAC v2 recording whose header is gone comes back signalled as what it is, with
// a healthy recording of the same kind to say its rate: its frames' SBR and PS tell, and the
// header written says so, so that a player runs them at the full rate with both channels. (The
// frames here code no band, so they read alike with every rate's tables: the sample settles the
// rate, as it does for real recordings whose bands do not.)
TEST(HeAac, RepairedRecordingIsSignalledAsHeAac) {
  const SbrHeader header{0, 5, 9, 0, 2, 1, 2};
  SbrBands bands;
  ASSERT_TRUE(SbrBandsFor(header, 48000, &bands));
  SbrWriter sbr(header, bands, 3);
  test::TempDir dir;
  const auto write = [&](const char* name, int frames, const std::vector<std::uint8_t>& config) {
    M4aWriter writer;
    ASSERT_EQ(writer.Open(dir.path() / name, 24000, 1, config), "");
    for (int i = 0; i < frames; ++i) {
      BitWriter w;
      PutSilentElement(w, false);
      PutFill(w, 13, sbr.Payload(i % 8 == 0, false, false, true, false));
      const ByteVector frame = w.End();
      ASSERT_EQ(writer.Write(frame.data(), static_cast<std::uint32_t>(frame.size())), "");
    }
    ASSERT_EQ(writer.Close(), "");
  };
  // The damaged one with a plain header (it is cut off anyway); the healthy one as an encoder
  // signals HE-AAC v2.
  write("he.m4a", 300, MakeAudioConfig(6, 1));
  write("sample.m4a", 40, MakeAudioConfig({kLc, 6, 24000, 1, true, true}));
  const ByteVector cut = test::CutBefore(test::ReadFile(dir.path() / "he.m4a"), "moov");
  const ByteVector sample = test::ReadFile(dir.path() / "sample.m4a");

  exact::WalkOptions options;
  options.sample = exact::Reference{"sample.m4a", ReadContainer(sample.data(), sample.size())};
  exact::WalkResult walk;
  ASSERT_TRUE(exact::Walk(cut.data(), cut.size(), options, &walk).ok());
  ASSERT_EQ(walk.streams.size(), 1u);
  const exact::StreamParams& p = walk.streams[0];
  EXPECT_TRUE(p.sbr);
  EXPECT_TRUE(p.ps);
  EXPECT_EQ(p.rate, 48000u);
  EXPECT_EQ(walk.frames.size(), 300u);
  std::uint64_t written = 0;
  ASSERT_TRUE(exact::WriteM4a(cut.data(), walk, 0, false, dir.path() / "out.m4a", &written, {}).ok());
  const test::MediaInfo out = test::ReadMedia(dir.File("out.m4a"));
  EXPECT_EQ(out.profile, FF_PROFILE_AAC_HE_V2);
  EXPECT_EQ(out.rate, 48000);
  EXPECT_EQ(out.channels, 2);
  EXPECT_EQ(out.packets.size(), 300u);
}

using Bits = std::function<void(BitWriter&)>;
void PutIcsInfo(BitWriter& w, int maxSfb, const Bits& prediction) {
  w.Put(0, 4).Put(static_cast<std::uint32_t>(maxSfb), 6).Put(bool(prediction), 1);
  if (prediction) prediction(w);
}

void PutChannelData(BitWriter& w, int maxSfb, const Bits& tns = {}) {
  if (maxSfb > 0) {
    w.Put(0, 4);
    for (; maxSfb >= 31; maxSfb -= 31) w.Put(31, 5);
    w.Put(static_cast<std::uint32_t>(maxSfb), 5);
  }
  w.Put(0, 1).Put(bool(tns), 1);
  if (tns) tns(w);
  w.Put(0, 1);
}

ByteVector SingleChannel(int maxSfb, const Bits& prediction, const Bits& tns = {}) {
  BitWriter w;
  w.Put(kSce, 3).Put(0, 4).Put(100, 8);
  PutIcsInfo(w, maxSfb, prediction);
  PutChannelData(w, maxSfb, tns);
  return w.End();
}

// The decoder reads a built frame without a complaint exactly when the parser takes it.
void ExpectAsTheDecoder(const ByteVector& frame, ObjectType type, int channels, bool valid) {
  const int index = 3;  // 48 kHz
  const FrameInfo info = ParseRawDataBlock(frame.data(), frame.size(), index, type);
  EXPECT_EQ(info.status, valid ? FrameStatus::kValid : FrameStatus::kInvalid);
  EXPECT_TRUE(!valid || info.bytes == frame.size());
  const std::string said = Decode({type, index, 0, channels}, {frame})[0].complaints;
  EXPECT_EQ(said.empty(), valid) << said;
}

// In a channel pair with a common window, the right channel's own LTP data follows the shared
// ics_info; LTP covers at most 40 bands. Such frames are no LC frames.
TEST(Ltp, PairWithBothChannelsPredicted) {
  for (const int maxSfb : {0, 12, 31, 40, 49}) {
    for (const bool right : {false, true}) {
      SCOPED_TRACE(testing::Message() << "max_sfb " << maxSfb << ", right " << right);
      const int used = std::min(maxSfb, 40);
      BitWriter w;
      w.Put(kCpe, 3).Put(0, 4).Put(1, 1);  // common window
      PutIcsInfo(w, maxSfb, [used](BitWriter& p) {
        p.Put(1, 1).Put(1500, 11).Put(5, 3).Put(0xFFFFFFFFFF, used);  // lag, coef, bands
      });
      w.Put(right, 1).Put(0x3ae7, right ? 14 : 0).Put(0x5555555555, right ? used : 0);
      w.Put(0, 2);  // no M/S
      for (int channel = 0; channel < 2; ++channel) PutChannelData(w.Put(100, 8), maxSfb);
      const ByteVector frame = w.End();
      ExpectAsTheDecoder(frame, kLtp, 2, true);
      const FrameInfo info = ParseRawDataBlock(frame.data(), frame.size(), 3);
      EXPECT_TRUE(ParseRawDataBlock(frame.data(), frame.size(), 3, kLtp).hasLtp);
      EXPECT_EQ(info.status, FrameStatus::kInvalid);
    }
  }
}

// The decoder's limits, which tell written frames from bytes that merely parse: TNS orders up to
// 20 in AAC Main and 12 elsewhere; prediction reset groups 1 ... 30.
TEST(Main, TnsOrdersAndResetGroupsAsTheDecoderLimitsThem) {
  for (const ObjectType type : {kMain, kLc, kLtp}) {
    for (const int order : {0, 12, 13, 20, 21, 31}) {
      SCOPED_TRACE(testing::Message() << "object type " << int(type) << ", order " << order);
      const ByteVector frame = SingleChannel(0, {}, [order](BitWriter& t) {
        t.Put(0b01'1'010100, 9).Put(static_cast<std::uint32_t>(order), 5);  // 1 filter, 20 bands
        t.Put(0, order > 0 ? 2 : 0).Put(0x123456789ABCDEF, 4 * order);
      });
      ExpectAsTheDecoder(frame, type, 1, order <= (type == kMain ? 20 : 12));
    }
  }
  for (const int group : {0, 1, 17, 30, 31}) {
    SCOPED_TRACE(testing::Message() << "reset group " << group);
    const ByteVector frame = SingleChannel(45, [group](BitWriter& p) {
      p.Put(1, 1).Put(static_cast<std::uint32_t>(group), 5).Put(0xF0F0F0F0F0, 40);
    });
    ExpectAsTheDecoder(frame, kMain, 1, group >= 1 && group <= 30);
  }
}

}  // namespace
}  // namespace quillmend::aac
