#include "transcoder.h"

#include <algorithm>
#include <filesystem>

#include "core/log_sink.h"
#include "io/cancel.h"
#include "io/env.h"
#include "io/native_path.h"
#include "io/utf8.h"
#include "process.h"

namespace quillmend {

std::string BuildTranscoderParameters(std::uint32_t sampleRate, int /*channelCount*/,
                                      std::string_view pcmPath, std::string_view outputPath) {
  std::string text = "-f s16le -ar ";
  text += std::to_string(sampleRate);
  text += " -ac 2";
  text += " -y -i ";
  text += '"';
  text += pcmPath;
  text += '"';
  text += " -c:a aac -b:a 128k ";
  text += '"';
  text += outputPath;
  text += '"';
  return text;
}

bool CanQuoteForTranscoder(std::string_view path) {
  return path.find('"') == std::string_view::npos && (path.empty() || path.back() != '\\');
}

bool FitsParameterBuffer(std::u16string_view parameters) {
  return parameters.size() < kParameterBufferUnits;
}

namespace {

ResultCode RefuseLongParameters(std::size_t units) {
  LogError(">>[!] The ffmpeg parameters are too long: %d UTF-16 units",
           static_cast<int>(std::min<std::size_t>(units, 0x7FFFFFFF)));
  return kTranscoderArguments;
}

// Refuses, with its line, the first path that the quoted parameter text cannot carry.
ResultCode CheckQuotablePaths(std::string_view pcmPath, std::string_view outputPath) {
  for (std::string_view path : {pcmPath, outputPath}) {
    if (!CanQuoteForTranscoder(path)) {
      LogError(">>[!] The path cannot be passed to ffmpeg: %s", std::string(path).c_str());
      return kTranscoderArguments;
    }
  }
  return kOk;
}

}  // namespace

ResultCode CheckTranscoderArguments(std::uint32_t sampleRate, int channelCount,
                                    std::string_view pcmPath, std::string_view outputPath) {
  if (ResultCode r = CheckQuotablePaths(pcmPath, outputPath); r != kOk) return r;
  const std::u16string parameters =
      Utf8ToWide(BuildTranscoderParameters(sampleRate, channelCount, pcmPath, outputPath));
  if (!FitsParameterBuffer(parameters)) return RefuseLongParameters(parameters.size());
  return kOk;
}

ResultCode EncodePcmToM4a(RepairContext& /*context*/, std::uint32_t sampleRate, int channelCount,
                          std::string_view pcmPath, std::string_view outputPath) {
  // The length is checked where the text is copied into the tool's buffer.
  if (ResultCode r = CheckQuotablePaths(pcmPath, outputPath); r != kOk) return r;
  return RunFfmpegTool(BuildTranscoderParameters(sampleRate, channelCount, pcmPath, outputPath));
}

ResultCode RunFfmpegTool(std::string_view parameterText) {
  const std::u16string parameters = Utf8ToWide(parameterText);
  if (!FitsParameterBuffer(parameters)) return RefuseLongParameters(parameters.size());

  // Beside the host program, not beside this library: the host ships the tool.
  std::u16string toolPath = GetExecutableDirectory();
  toolPath += static_cast<char16_t>(std::filesystem::path::preferred_separator);
  toolPath += kTranscoderToolName;

  ReportProgress(Phase::kTranscode, 0);
  const ChildOutcome outcome = CurrentEnv()->SpawnWithParameters(NativePath(toolPath), parameters);
  if (!outcome.started) return kTranscoderNotStarted;
  if (outcome.stopped) return LogStopped();
  if (outcome.exitCode != 0) {
    LogError("ffmpeg exited with code %d", outcome.exitCode);
    return kTranscoderFailed;
  }
  return kOk;
}

}  // namespace quillmend
