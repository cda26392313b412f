#pragma once

#include "quillmend_sdk.h"

namespace quillmend {

// Matches the file-version string of the Windows version resource (file version 1.0.0.25).
inline constexpr char kVersionText[] = QUILLMEND_SDK_VERSION_TEXT;

}  // namespace quillmend
