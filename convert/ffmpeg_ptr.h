#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <memory>

namespace quillmend {

// FFmpeg objects are adopted by these owners on the line after FFmpeg hands them over, so every
// path releases them in the reverse order of their declaration.
template <typename T, void (*Free)(T**)>  // FFmpeg frees through T** and nulls it
struct FreeWith {
  void operator()(T* p) const noexcept { Free(&p); }
};

using InputFormatPtr =
    std::unique_ptr<AVFormatContext, FreeWith<AVFormatContext, avformat_close_input>>;
using CodecContextPtr =
    std::unique_ptr<AVCodecContext, FreeWith<AVCodecContext, avcodec_free_context>>;
using SwrContextPtr = std::unique_ptr<SwrContext, FreeWith<SwrContext, swr_free>>;
using PacketPtr = std::unique_ptr<AVPacket, FreeWith<AVPacket, av_packet_free>>;
using FramePtr = std::unique_ptr<AVFrame, FreeWith<AVFrame, av_frame_free>>;

// An output context owns its I/O context, which must be closed before the context is freed,
// unless the caller made it (AVFMT_FLAG_CUSTOM_IO) and frees it.
struct OutputFormatFree {
  void operator()(AVFormatContext* context) const noexcept {
    if (context->oformat != nullptr && !(context->oformat->flags & AVFMT_NOFILE) &&
        !(context->flags & AVFMT_FLAG_CUSTOM_IO)) {
      avio_closep(&context->pb);
    }
    avformat_free_context(context);
  }
};
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFree>;

}  // namespace quillmend
