#include "general_fix.h"

#include <filesystem>

#include "convert/remux.h"
#include "core/log_sink.h"
#include "frame_extraction.h"
#include "intermediate_file.h"
#include "io/output_file.h"
#include "io/utf8.h"
#include "mp4/frame_heads.h"
#include "output_guard.h"

namespace quillmend {

ResultCode GeneralFix(RepairContext& context, std::string_view outputPath) {
  const std::u16string wideOutput = Utf8ToWide(outputPath);
  const std::string outputDirectory = OutputDirectory(outputPath);
  SetDefaultFrameHeads(context);

  const std::string adtsPath = JoinPath(outputDirectory, kAdtsFileName);
  if (ResultCode r = GuardOutputPaths({context.file.get()}, adtsPath, outputPath); r != kOk) {
    return r;
  }
  // Held until the output is written: another repair into this directory would remove or
  // remux this "tmp.adts".
  DirectoryLock lock;
  if (ResultCode r = LockIntermediateDirectory(adtsPath, lock); r != kOk) return r;
  // A left-over from an earlier run would put old frames into this output.
  AppendFile stream;
  if (ResultCode r = CreateIntermediateFile(adtsPath, stream); r != kOk) return r;
  ResultCode r = ExtractFramesToAdts(context, stream);
  if ((r = CloseIntermediateFile(adtsPath, stream, r)) != kOk) return r;

  return ConvertAdtsToM4a(context, outputDirectory, WideToUtf8(wideOutput));
}

ResultCode ConvertAdtsToM4a(RepairContext& /*context*/, std::string_view outputDirectory,
                            const std::string& outputPath) {
  const std::string adtsPath = JoinPath(outputDirectory, kAdtsFileName);
  bool writeFailed = false;
  const std::int32_t r = ffmpeg_remux(adtsPath.c_str(), outputPath.c_str(), &writeFailed);
  bool removed = true;
  try {
    RemoveIfExists(adtsPath);
  } catch (const std::filesystem::filesystem_error& e) {
    LogError(">>[!] %s", e.what());
    removed = false;
  }
  if (r != 0) {
    LogError("adts -> m4a ffmpeg error: %d", static_cast<int>(r));
    return writeFailed ? kWriteFailed : kMediaFailed;
  }
  return removed ? kOk : kIntermediateFile;
}

}  // namespace quillmend
