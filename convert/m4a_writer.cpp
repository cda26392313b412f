#include "m4a_writer.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include <cstring>

#include "io/native_path.h"

namespace quillmend {
namespace {

constexpr int kSamplesPerFrame = 1024;

std::string Reason(const char* what, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return std::string(what) + ": " + text;
}

}  // namespace

std::string M4aWriter::Open(const std::filesystem::path& path, const AudioFormat& format) {
  const std::uint32_t rate = format.rate, channels = format.channels;
  const std::vector<std::uint8_t>& audioConfig = format.config;
  frameSamples_ = format.frameSamples != 0 ? format.frameSamples : kSamplesPerFrame;
  const std::string name = NativePathToUtf8(path);
  AVFormatContext* raw = nullptr;
  // The "ipod" muxer writes the M4A brand that players expect of an audio-only file.
  if (const int r = avformat_alloc_output_context2(&raw, nullptr, "ipod", name.c_str()); r < 0) {
    return Reason("cannot set up the MP4 muxer", r);
  }
  output_.reset(raw);
  AVStream* stream = avformat_new_stream(raw, nullptr);
  packet_.reset(av_packet_alloc());
  if (stream == nullptr || !packet_) return Reason("cannot set up the MP4 muxer", AVERROR(ENOMEM));
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = format.codec == AudioCodec::kAlac ? AV_CODEC_ID_ALAC : AV_CODEC_ID_AAC;
  par->sample_rate = static_cast<int>(rate);
  par->frame_size = static_cast<int>(frameSamples_);
  av_channel_layout_default(&par->ch_layout, static_cast<int>(channels));
  par->extradata = static_cast<std::uint8_t*>(
      av_mallocz(audioConfig.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (par->extradata == nullptr) return Reason("cannot set up the MP4 muxer", AVERROR(ENOMEM));
  std::memcpy(par->extradata, audioConfig.data(), audioConfig.size());
  par->extradata_size = static_cast<int>(audioConfig.size());
  stream->time_base = AVRational{1, static_cast<int>(rate)};
  if (const int r = avio_open(&raw->pb, name.c_str(), AVIO_FLAG_WRITE); r < 0) {
    return Reason("cannot create the output", r);
  }
  if (const int r = avformat_write_header(raw, nullptr); r < 0) {
    return Reason("cannot write the output's header", r);
  }
  return {};
}

std::string M4aWriter::Write(const std::uint8_t* frame, std::uint32_t size, std::uint32_t samples) {
  if (samples == 0) samples = frameSamples_;
  AVStream* stream = output_->streams[0];
  // The frame is borrowed from the mapped input: the MP4 muxer writes a packet's bytes before
  // it returns and keeps only their position and size.
  packet_->data = const_cast<std::uint8_t*>(frame);
  packet_->size = static_cast<int>(size);
  packet_->stream_index = 0;
  packet_->pts = packet_->dts =
      av_rescale_q(next_, AVRational{1, stream->codecpar->sample_rate}, stream->time_base);
  packet_->duration =
      av_rescale_q(samples, AVRational{1, stream->codecpar->sample_rate}, stream->time_base);
  packet_->flags = AV_PKT_FLAG_KEY;
  next_ += samples;
  const int r = av_write_frame(output_.get(), packet_.get());
  packet_->data = nullptr;
  packet_->size = 0;
  if (r < 0) return Reason("cannot write a frame", r);
  if (output_->pb->error < 0) return Reason("cannot write a frame", output_->pb->error);
  return {};
}

std::string M4aWriter::Close() {
  if (const int r = av_write_trailer(output_.get()); r < 0) {
    return Reason("cannot write the output's index", r);
  }
  if (const int r = avio_closep(&output_->pb); r < 0) return Reason("cannot close the output", r);
  return {};
}

}  // namespace quillmend
