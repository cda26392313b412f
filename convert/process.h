#pragma once

#include <string>

namespace quillmend {

// The directory of the host process's executable file, without a trailing separator. Empty
// when the platform cannot tell.
std::u16string GetExecutableDirectory();

// File name of the transcoder tool on this platform.
extern const char16_t kTranscoderToolName[];

}  // namespace quillmend
