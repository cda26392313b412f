#pragma once

#include <string>
#include <string_view>

#include "convert/ffmpeg_ptr.h"
#include "core/repair_context.h"

namespace quillmend {

// What the advanced repair decodes the damaged file's frames with: the sample file opened by
// FFmpeg, a decoder set up from its audio stream, and a resampler to interleaved 16-bit stereo
// at the decoder's own rate. The damaged frames carry no codec description of their own, so the
// sample's parameters (its decoder configuration included) stand in for them.
struct SampleDecoder {
  // Members are destroyed bottom-up: the input first, then the decoder, then the resampler.
  SwrContextPtr resampler;
  CodecContextPtr decoderContext;
  const AVCodec* decoder = nullptr;  // FFmpeg's own description; never released
  InputFormatPtr formatContext;

  // Releases in the same order as destruction; safe to call more than once.
  void Release() noexcept;
};

// Opens the sample file with FFmpeg and fills every slot of `decoder`. Returns kOk, or
// kMediaFailed after one log line when the file cannot be opened or probed, holds no audio
// stream, its decoder cannot be opened, or the resampler cannot be set up; the slots are then
// empty again. The context is not used.
ResultCode OpenSampleDecoder(RepairContext& context, SampleDecoder& decoder,
                             std::string_view samplePath);

// (Re)configures `resampler` to turn audio of `channels` channels (their default layout) in
// `format` into interleaved signed 16-bit stereo at the same `sampleRate`. On failure returns a
// negative FFmpeg code and leaves the slot empty.
int ConfigureStereoResampler(SwrContextPtr& resampler, int channels, AVSampleFormat format,
                             int sampleRate);

// FFmpeg's text for an error code.
std::string FfmpegErrorText(int error);

}  // namespace quillmend
