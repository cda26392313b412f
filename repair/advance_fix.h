#pragma once

#include <string_view>

#include "core/repair_context.h"
#include "io/mapped_file.h"

namespace quillmend {

inline constexpr char kPcmFileName[] = "tmp.pcm";

// The last stage of an advanced repair: decodes the damaged file's frames, found by the profile
// the prepare stage learned, with the sample file's decoder into "tmp.pcm" in the output
// directory, and has the ffmpeg tool encode that into the output file, all under the lock of
// the output directory. "tmp.pcm" is removed after a successful run of the tool and kept when
// the tool could not be started or failed. Returns kOk, or the code of the step that failed
// unchanged: kMediaFailed (sample decoder), kTranscoderArguments, kIntermediateFile (the PCM
// file cannot be created, the directory cannot be locked), kWriteFailed (the PCM could not be
// written; removed), kCancelled (told to stop; removed), kTranscoderNotStarted,
// kTranscoderFailed, kOutputClash (the output or "tmp.pcm" would be an input file). Throws
// std::range_error for an output path that is not UTF-8 and filesystem_error when a stale
// "tmp.pcm" cannot be removed.
ResultCode AdvanceFix(RepairContext& context, MappedFile& damagedFile, std::string_view samplePath,
                      std::string_view outputPath);

}  // namespace quillmend
