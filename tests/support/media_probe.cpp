#include "media_probe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <sstream>

#include "test_support.h"

namespace quillmend::test {

MediaInfo ReadMedia(const std::string& path) {
  MediaInfo info;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return info;
  if (avformat_find_stream_info(format, nullptr) >= 0) {
    info.opened = true;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      const AVCodecParameters* parameters = format->streams[i]->codecpar;
      info.streams.push_back(std::string(av_get_media_type_string(parameters->codec_type)) + ":" +
                             avcodec_get_name(parameters->codec_id));
    }
    if (format->duration > 0) info.durationSeconds = format->duration / double(AV_TIME_BASE);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
      if (packet->stream_index == 0) {
        info.packets.push_back({packet->pos, {packet->data, packet->data + packet->size}});
      }
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
  }
  avformat_close_input(&format);
  return info;
}

int CountDecodeErrors(const std::string& path) {
  std::string output;
  if (Run("timeout 300 ffmpeg -nostdin -v error -i " + Quote(path) + " -f null - 2>&1", &output) !=
      0) {
    return -1;
  }
  int errors = 0;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Error while decoding") != std::string::npos) ++errors;
  }
  return errors;
}

}  // namespace quillmend::test
