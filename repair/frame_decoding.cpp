#include "frame_decoding.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "core/log_sink.h"
#include "io/cancel.h"
#include "mp4/frame_scanner.h"
#include "repair/sample_decoder.h"

namespace quillmend {
namespace {

inline constexpr int kOutputChannels = 2;
inline constexpr int kOutputBytesPerSample = 2;

// FFmpeg's bit readers may look up to the padding size past the end of a packet; the span
// buffer keeps that much zeroed room behind the longest span the scanner returns.
inline constexpr std::size_t kSpanCapacity =
    std::size_t{kMaxScannedFrameLength} + AV_INPUT_BUFFER_PADDING_SIZE;

// What the resampler was last set up to read.
struct ResamplerInput {
  int channels;
  int format;
};

// Copies the span's bytes out of the mapped file and leaves the cursor on the closing head.
// The padding after the span is cleared, since a longer earlier span may have left bytes there.
std::size_t CopySpan(MappedFile& file, const FrameSpan& span, std::vector<std::uint8_t>& bytes) {
  // The scanner never returns a longer span; the bound only keeps the copy inside the buffer.
  const std::size_t length = std::min(span.length, kMaxScannedFrameLength);
  const std::uint64_t size = file.Data() != nullptr ? file.Size() : 0;
  const std::uint64_t available = span.start < size ? size - span.start : 0;
  const std::size_t inside = static_cast<std::size_t>(std::min<std::uint64_t>(length, available));
  if (inside > 0) std::memcpy(bytes.data(), file.Data() + span.start, inside);
  std::memset(bytes.data() + inside, 0, bytes.size() - inside);
  file.Seek(std::uint64_t{span.start} + length, kSeekSet);
  return length;
}

// Converts one decoded frame to 16-bit stereo and appends it. Only samples the resampler
// actually produced are written, never an unfilled buffer.
void AppendFrame(const AVFrame& frame, SwrContextPtr& resampler, ResamplerInput& configured,
                 std::vector<std::uint8_t>& pcm, AppendFile& pcmFile) {
  if (frame.nb_samples <= 0) return;
  const int channels = frame.ch_layout.nb_channels;
  if (channels != configured.channels || frame.format != configured.format || !resampler) {
    // AAC lets a stream switch between one and two channels against its configuration, and the
    // decoder follows it; converting such a frame with the old setup would read planes that the
    // frame does not have.
    configured = {channels, frame.format};
    if (ConfigureStereoResampler(resampler, channels, static_cast<AVSampleFormat>(frame.format),
                                 frame.sample_rate) < 0) {
      return;
    }
  }
  const int size =
      av_samples_get_buffer_size(nullptr, kOutputChannels, frame.nb_samples, AV_SAMPLE_FMT_S16, 1);
  if (size <= 0) return;
  pcm.resize(static_cast<std::size_t>(size));
  std::uint8_t* output[] = {pcm.data()};
  const int converted =
      swr_convert(resampler.get(), output, frame.nb_samples,
                  const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
  if (converted <= 0) return;
  pcmFile.Write(pcm.data(),
                static_cast<std::size_t>(converted) * kOutputChannels * kOutputBytesPerSample);
  // The transcoder reads the file while it is still open.
  pcmFile.Flush();
}

}  // namespace

ResultCode DecodeFramesToPcm(RepairContext& context, MappedFile& damagedFile,
                             AVCodecContext& decoderContext, SwrContextPtr& resampler,
                             AppendFile& pcmFile) {
  const HeadTable heads(context.frameHeads.get());
  // One packet, one frame and two buffers serve every span: memory stays at one span and one
  // frame's samples however long the recording is.
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) throw std::bad_alloc();
  std::vector<std::uint8_t> spanBytes(kSpanCapacity);
  std::vector<std::uint8_t> pcm;
  ResamplerInput configured{decoderContext.ch_layout.nb_channels, decoderContext.sample_fmt};
  PageReleaser releaser(damagedFile);
  StopPoll stop;

  FrameSpan span;
  const double size = double(damagedFile.Size());
  for (std::uint32_t frames = 0;; ++frames) {
    if (stop.Due()) return LogStopped();
    if ((frames & 0x1F) == 0) ReportProgress(Phase::kDecode, double(damagedFile.Cursor()) / size);
    const ResultCode scan = FindFrameInFile(context, damagedFile, span, heads);
    if (scan == kEndOfScan && span.start == 0) return kOk;  // nothing left open to decode

    // The packet borrows the buffer. Its data is never null, so a span of length 0 is refused
    // by the decoder instead of being taken for the end of the stream.
    packet->data = spanBytes.data();
    packet->size = static_cast<int>(CopySpan(damagedFile, span, spanBytes));
    // A refused packet shows as no frame below; its own result adds nothing.
    avcodec_send_packet(&decoderContext, packet.get());
    const int received = avcodec_receive_frame(&decoderContext, frame.get());

    if (received < 0) {
      // Nothing came out of this span: most often a frame cut short by a false head. Keep it
      // open and let the scanner extend it to the head after the next one. Any error, not only
      // "needs more data", moves on this way, so no span is sent twice unchanged.
      if (scan == kEndOfScan) return kEndOfScan;
      damagedFile.Seek(1, kSeekForward);
      span.length = 0;
      continue;
    }

    const bool hadSamples = frame->nb_samples > 0;
    AppendFrame(*frame, resampler, configured, pcm, pcmFile);
    av_frame_unref(frame.get());
    // The driver reports the failure; decoding on would only fill memory with nothing to keep.
    if (pcmFile.Error()) return kWriteFailed;
    // The decoder took the span, with or without samples; sending it again would only repeat
    // it, so the next frame is looked for from its closing head.
    releaser.Passed(span.start);
    span = FrameSpan{};
    if (scan == kEndOfScan) return hadSamples ? kOk : kEndOfScan;
  }
}

}  // namespace quillmend
