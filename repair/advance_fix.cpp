#include "advance_fix.h"

#include <cstdint>
#include <string>

#include "convert/transcoder.h"
#include "core/log_sink.h"
#include "io/output_file.h"
#include "repair/frame_decoding.h"
#include "repair/intermediate_file.h"
#include "repair/output_guard.h"
#include "repair/sample_decoder.h"

namespace quillmend {

ResultCode AdvanceFix(RepairContext& context, MappedFile& damagedFile, std::string_view samplePath,
                      std::string_view outputPath) {
  // Declared first so that it is closed after the decoder is released.
  AppendFile pcmFile;
  SampleDecoder decoder;
  if (ResultCode r = OpenSampleDecoder(context, decoder, samplePath); r != kOk) return r;

  const std::string pcmPath = JoinPath(OutputDirectory(outputPath), kPcmFileName);
  if (ResultCode r = GuardOutputPaths({&damagedFile, context.file.get()}, pcmPath, outputPath);
      r != kOk) {
    return r;
  }
  // Read before and after decoding: implicit SBR or PS signalling in the frames can change the
  // rate and the channel count the decoder reports.
  const AVCodecContext& decoderContext = *decoder.decoderContext;
  // Paths the tool cannot be given are refused before a long decoding and before any file is
  // touched; the tool's own check runs again with the rate that decoding ends with.
  if (ResultCode r =
          CheckTranscoderArguments(static_cast<std::uint32_t>(decoderContext.sample_rate),
                                   decoderContext.ch_layout.nb_channels, pcmPath, outputPath);
      r != kOk) {
    return r;
  }

  // Held until the tool has read "tmp.pcm" and it is gone: another repair into this directory
  // would remove it or write its own.
  DirectoryLock lock;
  if (ResultCode r = LockIntermediateDirectory(pcmPath, lock); r != kOk) return r;
  if (ResultCode r = CreateIntermediateFile(pcmPath, pcmFile); r != kOk) return r;

  // Its result tells only whether the last span decoded, unless the file failed or the caller
  // asked to stop; then the PCM is incomplete and the tool is not run.
  const ResultCode decoded =
      DecodeFramesToPcm(context, damagedFile, *decoder.decoderContext, decoder.resampler, pcmFile);
  if (decoded == kWriteFailed || decoded == kCancelled || !pcmFile.Flush()) {
    decoder.Release();
    return CloseIntermediateFile(pcmPath, pcmFile, decoded);
  }

  // Every frame was flushed as it was written, so the tool reads the whole audio while the
  // file is still open.
  ResultCode r = EncodePcmToM4a(context, static_cast<std::uint32_t>(decoderContext.sample_rate),
                                decoderContext.ch_layout.nb_channels, pcmPath, outputPath);

  decoder.Release();
  // After a failed start or a failed run the PCM is all that is left of the audio; it stays for
  // another try. A stopped run's is removed with it.
  r = CloseIntermediateFile(pcmPath, pcmFile, r);
  if (r != kOk) return r;
  RemoveIfExists(pcmPath);
  return kOk;
}

}  // namespace quillmend
