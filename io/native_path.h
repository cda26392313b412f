#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quillmend {

// The platform's own path for a UTF-16 path: the one place where wide text meets the system.
std::filesystem::path NativePath(std::u16string_view path);

// UTF-8 text of a platform path.
std::string NativePathToUtf8(const std::filesystem::path& path);

}  // namespace quillmend
