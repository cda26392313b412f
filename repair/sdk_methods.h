#pragma once
// The SDK's two repairs as whole calls, each stage run and logged as the exported functions
// promise: the four exports are a thin C shell over these, and libquillmend calls them too.
#include <string_view>

#include "core/result_codes.h"

namespace quillmend {

// Opens the log "quillmend_sdk.log" in the directory and writes the version banner.
ResultCode InitLog(const char* logDirectory, void* logOwner);

// The damaged file repaired on its own. Paths are UTF-8 (null: kBadArgument).
ResultCode GeneralRepairCall(const char* damagedPath, const char* outputPath);

// The damaged file repaired with the help of a healthy sample from the same recorder.
ResultCode AdvanceRepairCall(const char* damagedPath, const char* samplePath,
                             const char* outputPath);

}  // namespace quillmend
