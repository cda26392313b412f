#include "media_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <memory>

namespace quillmend::tool {
namespace {

struct CloseInput {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct FreeCodec {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FreePacket {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FreeFrame {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};

}  // namespace

// The repairs feed damaged data to FFmpeg on purpose; its complaints about single frames would
// bury the results, and the repair's own log says what failed.
void QuietFfmpegLog() { av_log_set_level(AV_LOG_FATAL); }

MediaCheck CheckMedia(const std::string& path, bool decode) {
  MediaCheck check;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return check;
  std::unique_ptr<AVFormatContext, CloseInput> input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return check;
  check.opened = true;

  const AVCodec* decoder = nullptr;
  const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (stream < 0 || input->streams[stream]->codecpar->codec_id != AV_CODEC_ID_AAC) return check;
  check.hasAac = true;
  if (input->duration > 0) check.durationSeconds = input->duration / double(AV_TIME_BASE);

  std::unique_ptr<AVCodecContext, FreeCodec> codec;
  if (decode && decoder != nullptr) {
    codec.reset(avcodec_alloc_context3(decoder));
    if (codec == nullptr ||
        avcodec_parameters_to_context(codec.get(), input->streams[stream]->codecpar) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0) {
      codec.reset();
    }
  }
  std::unique_ptr<AVPacket, FreePacket> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FreeFrame> frame(av_frame_alloc());
  if (!packet || !frame) return check;

  const auto drain = [&] {
    while (avcodec_receive_frame(codec.get(), frame.get()) == 0) ++check.decodedFrames;
  };
  // An indexed container states its frame count; reading every packet of a long recording
  // would only count them again.
  const long long indexed = input->streams[stream]->nb_frames;
  constexpr long long kPacketsDecoded = 256;
  long long read = 0;
  while ((indexed <= 0 || (codec && read < kPacketsDecoded)) &&
         av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == stream) {
      ++read;
      if (codec && read <= kPacketsDecoded) {
        if (avcodec_send_packet(codec.get(), packet.get()) < 0) ++check.undecodableFrames;
        drain();
      }
    }
    av_packet_unref(packet.get());
  }
  check.aacFrames = indexed > 0 ? indexed : read;
  if (codec) {
    avcodec_send_packet(codec.get(), nullptr);
    drain();
  }
  return check;
}

}  // namespace quillmend::tool
