#pragma once

// Owners for FFmpeg objects. Each object is adopted on the line after FFmpeg hands it over, so
// every exit path releases it, and members declared in reverse order release in the order that
// FFmpeg's own examples use.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace quillmend {

// FFmpeg frees through T** and nulls the pointer; the deleter hands it a local copy.
template <typename T, void (*Free)(T**)>
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

}  // namespace quillmend
