#pragma once

namespace quillmend {

// Matches the file-version string of the Windows version resource (file version 1.0.0.25).
inline constexpr char kVersionText[] = "1, 0, 0, 25-d-4f7fc416";

}  // namespace quillmend
