#include "sample_decoder.h"

#include <array>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "core/log_sink.h"

namespace quillmend {

void SampleDecoder::Release() noexcept {
  formatContext.reset();
  decoderContext.reset();
  decoder = nullptr;
  resampler.reset();
}

std::string FfmpegErrorText(int error) {
  std::array<char, 256> reason{};
  av_strerror(error, reason.data(), reason.size());
  return std::string(reason.data());
}

int ConfigureStereoResampler(SwrContextPtr& resampler, int channels, AVSampleFormat format,
                             int sampleRate) {
  AVChannelLayout input{};
  av_channel_layout_default(&input, channels);
  AVChannelLayout output = AV_CHANNEL_LAYOUT_STEREO;
  // On failure FFmpeg frees the context it was given and nulls the pointer, so the slot lets go
  // of it first and adopts whatever comes back.
  SwrContext* raw = resampler.release();
  int error = swr_alloc_set_opts2(&raw, &output, AV_SAMPLE_FMT_S16, sampleRate, &input, format,
                                  sampleRate, 0, nullptr);
  resampler.reset(raw);
  av_channel_layout_uninit(&input);
  if (error >= 0) error = swr_init(resampler.get());
  if (error < 0) resampler.reset();
  return error;
}

ResultCode OpenSampleDecoder(RepairContext& /*context*/, SampleDecoder& decoder,
                             std::string_view samplePath) {
  decoder.Release();
  const std::string path(samplePath);

  AVFormatContext* format = nullptr;
  // On failure FFmpeg frees what it allocated and leaves the pointer null.
  if (int error = avformat_open_input(&format, path.c_str(), nullptr, nullptr); error < 0) {
    LogError(">>[!] The file cant't open :%s", FfmpegErrorText(error).c_str());
    return kMediaFailed;
  }
  decoder.formatContext.reset(format);

  if (int error = avformat_find_stream_info(format, nullptr); error < 0) {
    LogError(">>[!] Failed to find stream info: %s", FfmpegErrorText(error).c_str());
    decoder.Release();
    return kMediaFailed;
  }

  const AVCodec* codec = nullptr;
  const int streamIndex = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (streamIndex < 0 || codec == nullptr) {
    LogError(">>[!] Could not find audio stream in the input file");
    decoder.Release();
    return kMediaFailed;
  }
  decoder.decoder = codec;

  // A context that cannot be allocated or filled cannot be opened either; both end as a codec
  // that could not be opened rather than a decoder working from defaults.
  decoder.decoderContext.reset(avcodec_alloc_context3(codec));
  AVCodecContext* context = decoder.decoderContext.get();
  if (context == nullptr ||
      avcodec_parameters_to_context(context, format->streams[streamIndex]->codecpar) < 0 ||
      avcodec_open2(context, codec, nullptr) < 0) {
    LogError(">>[!] Could not open audio codec");
    decoder.decoderContext.reset();
    decoder.Release();
    return kMediaFailed;
  }

  // Equal input and output rates: only the sample format and the channel layout change.
  if (int error = ConfigureStereoResampler(decoder.resampler, context->ch_layout.nb_channels,
                                           context->sample_fmt, context->sample_rate);
      error < 0) {
    // Without a working resampler every frame would turn into undefined samples.
    LogError(">>[!] Could not set up the resampler: %s", FfmpegErrorText(error).c_str());
    decoder.Release();
    return kMediaFailed;
  }
  return kOk;
}

}  // namespace quillmend
