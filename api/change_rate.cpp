// Another rate for a repaired recording: the same frames under a header that says another
// rate. The frames must read alike with the new rate's band tables, which is what tells the
// rates a recording can have apart from those it cannot.
extern "C" {
#include <libavformat/avformat.h>
}

#include "aac/audio_config.h"
#include "convert/ffmpeg_ptr.h"
#include "convert/m4a_writer.h"
#include "output.h"
#include "paths.h"
#include "repair.h"
#include "verify.h"
#include "words.h"
#include "workspace.h"

namespace quillmend::api {
namespace {

// A file this library wrote, read packet by packet.
class Input {
 public:
  bool Open(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return false;
    input_.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) return false;
    stream_ = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream_ < 0) return false;
    const AVCodecParameters* par = raw->streams[stream_]->codecpar;
    if (par->codec_id != AV_CODEC_ID_AAC || par->extradata_size <= 0) return false;
    config_.assign(par->extradata, par->extradata + par->extradata_size);
    channels_ = std::uint32_t(par->ch_layout.nb_channels);
    packet_.reset(av_packet_alloc());
    return packet_ != nullptr;
  }
  // The next frame of the audio stream, or false at the end.
  bool Next() {
    av_packet_unref(packet_.get());
    while (av_read_frame(input_.get(), packet_.get()) >= 0) {
      if (packet_->stream_index == stream_) return true;
      av_packet_unref(packet_.get());
    }
    return false;
  }
  const std::uint8_t* Data() const { return packet_->data; }
  std::uint32_t Size() const { return std::uint32_t(packet_->size); }
  const std::vector<std::uint8_t>& Config() const { return config_; }
  std::uint32_t Channels() const { return channels_; }

 private:
  InputFormatPtr input_;
  PacketPtr packet_;
  int stream_ = -1;
  std::vector<std::uint8_t> config_;
  std::uint32_t channels_ = 0;
};

}  // namespace

qm_code ChangeRate(const Request& q, std::uint32_t rate, qm_result* r) {
  const std::string name = FileName(q.input);
  if (const Status s = CheckOutput(q, q.output, q.outputPath); !s.ok()) {
    return Fail(r, s, OutputSuggestions(s));
  }
  Input input;
  aac::AudioConfig config;
  if (!input.Open(q.input) || !aac::ParseAudioConfig(input.Config(), &config)) {
    return Fail(r, Status::Failed(Status::Code::kInput,
                                  name + " is not an AAC recording this library wrote",
                                  "give the repaired file"));
  }
  const std::uint32_t core = config.sbr ? rate / 2 : rate;
  const int index = aac::SamplingIndexFromRate(int(core));
  const Status misfit =
      Status::Failed(Status::Code::kArgument, "the frames of " + name + " do not fit " + Hz(rate),
                     "choose one of the rates the repair offered");
  if (index < 0) return Fail(r, misfit);
  Workspace workspace;
  if (const Status s = MakeWorkspace(q, &workspace); !s.ok())
    return Fail(r, s, {{QM_TRY_OUTPUT, 0}});
  Progress progress(q.options);
  const fs::path file = workspace.Output(1);
  M4aWriter writer;
  std::string error =
      writer.Open(file, core, input.Channels(), aac::MakeAudioConfig(index, config.channelConfig));
  std::uint64_t frames = 0;
  while (error.empty() && input.Next()) {
    // Each frame must read to its own length with the new rate's band tables.
    const aac::FrameInfo info =
        aac::ParseRawDataBlock(input.Data(), input.Size(), index, config.objectType);
    if (info.status != aac::FrameStatus::kValid || info.bytes != input.Size()) {
      return Fail(r, misfit);
    }
    error = writer.Write(input.Data(), input.Size());
    if (++frames % 4096 == 0 && progress.Report(0.5)) return Fail(r, Status::Cancelled());
  }
  if (error.empty()) error = writer.Close();
  if (!error.empty()) return Fail(r, WriteFailure(q, error));

  Expected e;
  e.frames = frames;
  e.rate = rate;
  e.rateKnown = true;
  e.channels = input.Channels();
  if (const Status s = Verify(ToUtf8(file), e, r); !s.ok()) return Fail(r, s);
  r->track = 1;
  r->output = q.output;
  if (const Status s = PutInPlace(q, workspace, r); !s.ok())
    return Fail(r, s, OutputSuggestions(s));
  r->code = QM_REPAIRED;
  r->rate = rate;
  r->rateSource = "option";
  r->rateConfidence = "certain";
  r->channels = input.Channels();
  r->codec = config.sbr ? "he-aac" : "aac";
  r->message = "written at " + Hz(rate);
  progress.Report(1.0);
  return r->code;
}

}  // namespace quillmend::api
