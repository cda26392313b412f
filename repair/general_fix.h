#pragma once

#include <string>
#include <string_view>

#include "core/repair_context.h"

namespace quillmend {

inline constexpr char kAdtsFileName[] = "tmp.adts";

// Repairs the damaged file mapped in the context on its own: its frames go to "tmp.adts" in the
// output directory, which FFmpeg then remuxes into the output file, all under the lock of the
// output directory. Returns kOk; kAllocFailed when the extraction was aborted ("tmp.adts"
// stays); kMediaFailed when the remux failed; kWriteFailed when "tmp.adts" or the output could
// not be written; kCancelled when told to stop; kIntermediateFile when "tmp.adts" cannot be
// created or removed or the directory cannot be locked; kOutputClash, before any file is
// touched, when the output or "tmp.adts" would be the damaged file. Throws std::range_error
// for an output path that is not UTF-8 and std::filesystem::filesystem_error when a stale
// "tmp.adts" cannot be removed.
ResultCode GeneralFix(RepairContext& context, std::string_view outputPath);

// Remuxes "tmp.adts" of the output directory into the output file and removes it whatever the
// remux did. Returns kOk, kMediaFailed, kWriteFailed when the output could not be written, or
// kIntermediateFile when a successful remux leaves an intermediate file that cannot be removed.
ResultCode ConvertAdtsToM4a(RepairContext& context, std::string_view outputDirectory,
                            const std::string& outputPath);

}  // namespace quillmend
