#pragma once

#include <cstdint>
#include <string>

namespace quillmend::tool {

enum class RepairMode { kGeneral, kAdvanced };

// The result code of a repair call in plain words, for someone who wants the audio back.
std::string DescribeResult(std::int32_t code, RepairMode mode);

}  // namespace quillmend::tool
