#include "read_back.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <vector>

#include "convert/ffmpeg_ptr.h"

namespace quillmend::api {
namespace {

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

struct OpenStream {
  InputFormatPtr input;
  CodecContextPtr codec;
  int stream = -1;
};

// Opens the file and its first AAC stream's decoder; returns the reason when it cannot.
std::string Open(const std::string& path, OpenStream* out) {
  AVFormatContext* raw = nullptr;
  if (const int r = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); r < 0) {
    return ErrorText(r);
  }
  out->input.reset(raw);
  if (const int r = avformat_find_stream_info(raw, nullptr); r < 0) return ErrorText(r);
  const AVCodec* decoder = nullptr;
  out->stream = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (out->stream < 0 || decoder == nullptr) {
    out->stream = -1;
    return "no audio track";
  }
  out->codec.reset(avcodec_alloc_context3(decoder));
  if (!out->codec ||
      avcodec_parameters_to_context(out->codec.get(), raw->streams[out->stream]->codecpar) < 0 ||
      avcodec_open2(out->codec.get(), decoder, nullptr) < 0) {
    out->codec.reset();
    return "the AAC decoder cannot be set up for it";
  }
  return {};
}

}  // namespace

ReadBack ReadBackFile(const std::string& path, bool decodeAll,
                      const std::vector<std::uint64_t>& around) {
  ReadBack check;
  OpenStream open;
  check.error = Open(path, &open);
  check.opened = open.input != nullptr && open.stream >= 0;
  if (!check.opened || !open.codec) return check;
  check.hasAudio = true;
  const AVStream* stream = open.input->streams[open.stream];
  check.codec = avcodec_get_name(stream->codecpar->codec_id);
  if (const char* profile = av_get_profile_name(open.codec->codec, stream->codecpar->profile)) {
    check.profile = profile;
  }
  check.channels = static_cast<std::uint32_t>(stream->codecpar->ch_layout.nb_channels);
  check.rate = static_cast<std::uint32_t>(stream->codecpar->sample_rate);

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) return check;
  // Packets to decode: a stretch at the start, and one in the middle when the index tells where
  // the middle is.
  constexpr std::uint64_t kStretch = 200;
  // Frames next to a damaged stretch are the ones that damage may have hit in place.
  constexpr std::uint64_t kAround = 4;
  std::size_t nextAround = 0;
  const auto indexed = static_cast<std::uint64_t>(std::max<std::int64_t>(stream->nb_frames, 0));
  const std::uint64_t middle = indexed > 4 * kStretch ? indexed / 2 : kStretch;
  std::int64_t lastEnd = 0;
  std::uint64_t n = 0;
  while (av_read_frame(open.input.get(), packet.get()) >= 0) {
    if (packet->stream_index == open.stream) {
      while (nextAround < around.size() && around[nextAround] + kAround < n) ++nextAround;
      const bool near = nextAround < around.size() && around[nextAround] <= n + kAround;
      const bool decode =
          decodeAll || near || n < kStretch || (n >= middle && n < middle + kStretch);
      if (decode) {
        if (avcodec_send_packet(open.codec.get(), packet.get()) < 0) {
          ++check.undecodable;
        } else {
          ++check.decoded;
        }
        while (avcodec_receive_frame(open.codec.get(), frame.get()) == 0) {
          // The decoder's own word on the rate: an HE-AAC stream plays at twice its core rate.
          check.rate = static_cast<std::uint32_t>(frame->sample_rate);
          check.channels = static_cast<std::uint32_t>(frame->ch_layout.nb_channels);
        }
      }
      if (packet->pts != AV_NOPTS_VALUE) {
        lastEnd = std::max(lastEnd, packet->pts + packet->duration);
      }
      ++n;
    }
    av_packet_unref(packet.get());
  }
  check.packets = n;
  const AVRational base = stream->time_base;
  check.seconds = lastEnd * av_q2d(base);
  return check;
}

bool DecodePeaks(const std::string& path, float* peaks, std::size_t count) {
  if (peaks == nullptr || count == 0) return false;
  OpenStream open;
  if (!Open(path, &open).empty() || !open.codec) return false;
  const AVStream* stream = open.input->streams[open.stream];
  const double total = stream->duration > 0 ? stream->duration * av_q2d(stream->time_base)
                                            : open.input->duration / double(AV_TIME_BASE);
  if (!(total > 0)) return false;
  std::fill(peaks, peaks + count, 0.0f);
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) return false;
  double at = 0;  // seconds decoded so far
  const auto take = [&] {
    while (avcodec_receive_frame(open.codec.get(), frame.get()) == 0) {
      const int channels = frame->ch_layout.nb_channels;
      float peak = 0;
      // FFmpeg's AAC decoder gives planar float.
      if (frame->format == AV_SAMPLE_FMT_FLTP) {
        for (int c = 0; c < channels; ++c) {
          const auto* s = reinterpret_cast<const float*>(frame->extended_data[c]);
          for (int i = 0; i < frame->nb_samples; ++i) peak = std::max(peak, std::fabs(s[i]));
        }
      }
      // A frame marks every slot it overlaps, so a short file drawn wide has no gaps.
      const double end =
          at + (frame->sample_rate > 0 ? double(frame->nb_samples) / frame->sample_rate : 0);
      const auto slot = [&](double t) {
        return std::min<std::size_t>(count - 1,
                                     std::size_t(std::max(0.0, t / total * double(count))));
      };
      const std::size_t last = std::max(slot(at), end > at ? slot(std::nextafter(end, at)) : 0);
      for (std::size_t i = slot(at); i <= last; ++i)
        peaks[i] = std::max(peaks[i], std::min(peak, 1.0f));
      at = end;
    }
  };
  while (av_read_frame(open.input.get(), packet.get()) >= 0) {
    if (packet->stream_index == open.stream &&
        avcodec_send_packet(open.codec.get(), packet.get()) >= 0) {
      take();
    }
    av_packet_unref(packet.get());
  }
  avcodec_send_packet(open.codec.get(), nullptr);
  take();
  return true;
}

}  // namespace quillmend::api
