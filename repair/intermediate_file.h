#pragma once

#include <string>

#include "io/output_file.h"
#include "sdk/result_codes.h"

namespace quillmend {

// Starts an intermediate file in the output directory afresh: whatever an earlier run left at
// path is removed first, so its data never reaches this output. Returns kOk with file open, or
// kIntermediateFile with a log line when it cannot be created; a stale file that cannot be
// removed throws std::filesystem::filesystem_error.
ResultCode CreateIntermediateFile(const std::string& path, AppendFile& file);

}  // namespace quillmend
