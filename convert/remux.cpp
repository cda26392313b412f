#include "remux.h"

#include <cstring>

#include "ffmpeg_ptr.h"
#include "core/log_sink.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace quillmend {
namespace {

constexpr char kFunction[] = "ffmpeg_remux";

// Line numbers that identify each failure point in the log; hosts match on them.
enum RemuxLine : int {
  kLineOpenInput = 104,
  kLineStreamInfo = 109,
  kLineAllocOutput = 114,
  kLineStreamMapping = 121,
  kLineNewStream = 148,
  kLineCopyParameters = 154,
  kLineNoStream = 170,
  kLineOpenOutput = 176,
  kLineWriteHeader = 182,
  kLinePacketAlloc = 189,
  kLineWriteFrame = 218,
  kLineWriteOutput = 224,
};

std::int32_t Failed(RemuxLine line, int error) {
  LogInfo("[%s](%d): ffmpeg err: %s", kFunction, static_cast<int>(line), ffmpeg_error_text(error));
  return error;
}

// Audio always; video only as a cover image: both sides non-zero and an attached picture
// packet that holds data. Everything else would not fit an audio container.
bool IsKept(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  switch (parameters.codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      return true;
    case AVMEDIA_TYPE_VIDEO:
      return parameters.width != 0 && parameters.height != 0 && stream.attached_pic.data != nullptr;
    default:
      return false;
  }
}

struct FreeStreamMapping {
  void operator()(int* mapping) const noexcept { av_freep(&mapping); }
};

}  // namespace

const char* ffmpeg_error_text(int error) {
  // One buffer per thread: concurrent repairs never log each other's text.
  thread_local char text[64];
  std::memset(text, 0, sizeof text);
  av_strerror(error, text, sizeof text);
  return text;
}

std::int32_t ffmpeg_remux(const char* inputName, const char* outputName, bool* writeFailed) {
  // Declared in the order of release, last first: packet, output, mapping, input.
  InputFormatPtr input;
  std::unique_ptr<int, FreeStreamMapping> mapping;
  OutputFormatPtr output;
  PacketPtr packet;

  AVFormatContext* rawInput = avformat_alloc_context();
  // On failure avformat_open_input frees the context and nulls the pointer.
  int r = avformat_open_input(&rawInput, inputName, nullptr, nullptr);
  input.reset(rawInput);
  if (r < 0) return Failed(kLineOpenInput, r);

  if ((r = avformat_find_stream_info(input.get(), nullptr)) < 0) {
    return Failed(kLineStreamInfo, r);
  }

  AVFormatContext* rawOutput = nullptr;
  r = avformat_alloc_output_context2(&rawOutput, nullptr, nullptr, outputName);
  output.reset(rawOutput);
  if (r < 0) return Failed(kLineAllocOutput, r);

  const unsigned streamCount = input->nb_streams;
  mapping.reset(static_cast<int*>(av_calloc(streamCount, sizeof(int))));
  if (mapping == nullptr) {
    LogInfo("[%s](%d): av_calloc stream_mapping failed", kFunction,
            static_cast<int>(kLineStreamMapping));
    return AVERROR(ENOMEM);
  }

  int outputIndex = 0;
  for (unsigned i = 0; i < streamCount; ++i) {
    const AVStream* inStream = input->streams[i];
    if (!IsKept(*inStream)) {
      mapping.get()[i] = -1;
      continue;
    }
    mapping.get()[i] = outputIndex++;
    AVStream* outStream = avformat_new_stream(output.get(), nullptr);
    if (outStream == nullptr) {
      LogInfo("[%s](%d): codec_type = %d", kFunction, static_cast<int>(kLineNewStream),
              static_cast<int>(inStream->codecpar->codec_type));
      return AVERROR(ENOMEM);
    }
    if ((r = avcodec_parameters_copy(outStream->codecpar, inStream->codecpar)) < 0) {
      return Failed(kLineCopyParameters, r);
    }
    // Let the muxer pick the tag that fits the output container.
    outStream->codecpar->codec_tag = 0;
    av_dict_copy(&outStream->metadata, inStream->metadata, 0);
  }
  av_dict_copy(&output->metadata, input->metadata, 0);

  if (output->nb_streams == 0) {
    LogInfo("[%s](%d): nb_streams is 0", kFunction, static_cast<int>(kLineNoStream));
    return -1;
  }
  if (!(output->oformat->flags & AVFMT_NOFILE)) {
    if ((r = avio_open(&output->pb, outputName, AVIO_FLAG_WRITE)) < 0) {
      return Failed(kLineOpenOutput, r);
    }
  }
  if ((r = avformat_write_header(output.get(), nullptr)) < 0) {
    return Failed(kLineWriteHeader, r);
  }

  packet.reset(av_packet_alloc());
  if (packet == nullptr) {
    LogInfo("[%s](%d): av_packet_alloc failed", kFunction, static_cast<int>(kLinePacketAlloc));
    return AVERROR(ENOMEM);
  }

  // End of file and read errors both end the copy; whatever was read is kept.
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    const int index = packet->stream_index;
    if (index < 0 || static_cast<unsigned>(index) >= streamCount || mapping.get()[index] < 0) {
      av_packet_unref(packet.get());
      continue;
    }
    const int target = mapping.get()[index];
    packet->stream_index = target;
    av_packet_rescale_ts(packet.get(), input->streams[index]->time_base,
                         output->streams[target]->time_base);
    packet->pos = -1;
    // Takes the packet's data over; one bad packet does not end the copy.
    if ((r = av_interleaved_write_frame(output.get(), packet.get())) < 0) {
      LogInfo("[%s](%d): ffmpeg err: %s", kFunction, static_cast<int>(kLineWriteFrame),
              ffmpeg_error_text(r));
      // A failed write of the file itself (a full disk) fails every packet after it.
      if (output->pb != nullptr && output->pb->error < 0) break;
    }
  }
  av_write_trailer(output.get());
  // The file's own writes report their failure only here: in its error state and its close.
  if (output->pb != nullptr && !(output->oformat->flags & AVFMT_NOFILE)) {
    const int failed = output->pb->error;
    const int closed = avio_closep(&output->pb);
    if (failed < 0 || closed < 0) {
      if (writeFailed != nullptr) *writeFailed = true;
      return Failed(kLineWriteOutput, failed < 0 ? failed : closed);
    }
  }
  return 0;
}

}  // namespace quillmend
