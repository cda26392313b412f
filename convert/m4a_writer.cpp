#include "m4a_writer.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstring>
#include <limits>

#include "io/native_path.h"

namespace quillmend {
namespace {

constexpr int kSamplesPerFrame = 1024;
// The muxer's writes are gathered into calls to the file this large.
constexpr int kIoBufferSize = 64 * 1024;

std::string Describe(const char* what, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return std::string(what) + ": " + text;
}

struct BufferFree {
  void operator()(unsigned char* buffer) const noexcept { av_free(buffer); }
};

// FFmpeg's code for a file's error: the portable errno where there is one.
int AvError(const std::error_code& error) {
  const std::error_condition condition = error.default_error_condition();
  return condition.category() == std::generic_category() && condition.value() > 0
             ? AVERROR(condition.value())
             : AVERROR(EIO);
}

}  // namespace

void M4aWriter::IoContextFree::operator()(AVIOContext* io) const noexcept {
  // The context may have swapped its buffer for another since it was made.
  av_freep(&io->buffer);
  avio_context_free(&io);
}

int M4aWriter::WritePacket(void* self, std::uint8_t* data, int size) {
  M4aWriter& w = *static_cast<M4aWriter*>(self);
  if (!w.error_) w.error_ = w.file_->Append(data, std::size_t(size));
  if (w.error_) return AvError(w.error_);
  w.position_ += std::uint64_t(size);
  if (w.position_ > w.size_) w.size_ = w.position_;
  return size;
}

std::int64_t M4aWriter::SeekTo(void* self, std::int64_t offset, int whence) {
  M4aWriter& w = *static_cast<M4aWriter*>(self);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return std::int64_t(w.size_);
  std::int64_t base = 0;
  if (whence == SEEK_CUR) base = std::int64_t(w.position_);
  if (whence == SEEK_END) base = std::int64_t(w.size_);
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
  if (offset < -base || offset > std::numeric_limits<std::int64_t>::max() - base) {
    return AVERROR(EINVAL);
  }
  const std::uint64_t to = std::uint64_t(base + offset);
  if (!w.error_) w.error_ = w.file_->Seek(to);
  if (w.error_) return AvError(w.error_);
  w.position_ = to;
  return std::int64_t(to);
}

std::string M4aWriter::Reason(const char* what, int code) const {
  // The file's own words say more than FFmpeg's code for them.
  return error_ ? std::string(what) + ": " + error_.message() : Describe(what, code);
}

std::string M4aWriter::Open(const std::filesystem::path& path, const AudioFormat& format) {
  const std::uint32_t rate = format.rate, channels = format.channels;
  const std::vector<std::uint8_t>& audioConfig = format.config;
  frameSamples_ = format.frameSamples != 0 ? format.frameSamples : kSamplesPerFrame;
  AVFormatContext* raw = nullptr;
  // The "ipod" muxer writes the M4A brand that players expect of an audio-only file. It only
  // looks at the name, which it warns about when it does not end in .m4a.
  const std::string name = NativePathToUtf8(path);
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
  par->extradata =
      static_cast<std::uint8_t*>(av_mallocz(audioConfig.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (par->extradata == nullptr) return Reason("cannot set up the MP4 muxer", AVERROR(ENOMEM));
  std::memcpy(par->extradata, audioConfig.data(), audioConfig.size());
  par->extradata_size = static_cast<int>(audioConfig.size());
  stream->time_base = AVRational{1, static_cast<int>(rate)};
  if (const std::error_code e = CurrentEnv()->CreateExclusive(path, &file_)) {
    return "cannot create the output: " + e.message();
  }
  std::unique_ptr<unsigned char, BufferFree> buffer(
      static_cast<unsigned char*>(av_malloc(kIoBufferSize)));
  if (buffer != nullptr) {
    io_.reset(
        avio_alloc_context(buffer.get(), kIoBufferSize, 1, this, nullptr, &WritePacket, &SeekTo));
  }
  if (!io_) return Reason("cannot set up the MP4 muxer", AVERROR(ENOMEM));
  buffer.release();  // the context's now
  raw->pb = io_.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  // Not a write per frame: nobody reads the file before it is closed.
  raw->flush_packets = 0;
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
  avio_flush(io_.get());
  if (io_->error < 0) return Reason("cannot write the output's index", io_->error);
  if (const std::error_code e = file_->Flush()) return "cannot write the output: " + e.message();
  if (const std::error_code e = file_->Close()) return "cannot close the output: " + e.message();
  return {};
}

}  // namespace quillmend
