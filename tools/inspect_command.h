#pragma once

#include <string>

namespace quillmend::tool {

// Prints what the repairs would see in a file: its declared brand, every "mdat", the sample
// tables, the frame heads a healthy file teaches, and what the general scan cuts out of each
// region. Returns the exit status.
int RunInspect(const std::string& path);

}  // namespace quillmend::tool
