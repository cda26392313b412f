#pragma once

#include <initializer_list>
#include <string_view>

#include "core/result_codes.h"
#include "io/mapped_file.h"

namespace quillmend {

// A repair removes and writes two paths: the intermediate file beside the output, and the output.
// Neither may be one of the repair's inputs, by any name or link, or the repair would destroy
// what it was given to rescue; and the output may not be the intermediate file, which is
// removed after the conversion. Returns kOk, or kOutputClash after one log line, before anything
// was touched. Throws std::range_error for a path that is not UTF-8.
ResultCode GuardOutputPaths(std::initializer_list<const MappedFile*> inputs,
                            std::string_view intermediatePath, std::string_view outputPath);

}  // namespace quillmend
