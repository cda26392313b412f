#include "frame_extraction.h"

#include <exception>

#include "adts_writer.h"
#include "core/log_sink.h"
#include "io/cancel.h"
#include "mp4/frame_scanner.h"

namespace quillmend {
namespace {

ResultCode ExtractRegions(RepairContext& context, AppendFile& stream) {
  if (!context.mdatTable || context.mdatTable->empty()) return kOk;
  const OffsetTable& regions = *context.mdatTable;
  MappedFile& file = *context.file;
  const auto fileSize = static_cast<std::uint32_t>(file.Size());
  const HeadTable heads(context.frameHeads.get());
  PageReleaser releaser(file);
  StopPoll stop;
  std::uint32_t frames = 0;

  for (std::size_t i = 0; i < regions.size(); ++i) {
    const std::uint32_t start = regions[i];
    const std::uint32_t end = start == regions.back() ? fileSize : regions[i + 1] - 4;
    // "mdat" in the last bytes of the file leaves no room for the mode test: nothing to cut.
    if (start > fileSize || fileSize - start < 4) continue;

    file.Seek(start, kSeekSet);
    std::uint32_t firstWord = 0;
    file.ReadU32(firstWord, false);
    // Four zero bytes after "mdat" mean frames of the marker layout; anything else, profile.
    const bool useProfile = firstWord != 0;
    std::uint32_t scanStart = start + 4;
    if (useProfile) {
      file.Seek(4, kSeekBackward);
      scanStart = start;
    }
    for (ResultCode r = kOk; r != kEndOfScan;) {
      FrameSpan span;
      r = FindFrameInRange(context, span, scanStart, end, useProfile, heads);
      scanStart = static_cast<std::uint32_t>(file.Cursor());
      if (r == kOk) {
        // A stream that failed takes nothing more: the rest of the walk would be wasted.
        if (WriteAdtsFrame(context, span, stream) != kOk) return kWriteFailed;
        releaser.Passed(span.start);
      }
      if (stop.Due()) return LogStopped();
      if ((++frames & 0x3F) == 0) ReportProgress(Phase::kCut, double(scanStart) / fileSize);
    }
  }
  return kOk;
}

}  // namespace

ResultCode ExtractFramesToAdts(RepairContext& context, AppendFile& stream) {
  try {
    ReportProgress(Phase::kCut, 0);
    const ResultCode r = ExtractRegions(context, stream);
    ReportProgress(Phase::kCut, 1);
    return r;
  } catch (const std::exception&) {
    LogError(">>[!] Parse frame to adts error");
    return kAllocFailed;
  }
}

}  // namespace quillmend
