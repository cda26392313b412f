#pragma once
// What the local page's server needs from the operating system.
#include <filesystem>
#include <string>
#include <system_error>

namespace quillmend::tool::serve {

// Creates `path`, which must not exist yet, so that only this user can enter it.
std::error_code MakeOwnerOnlyDirectory(const std::filesystem::path& path);

// Hands the address to the desktop's browser without waiting for it; false when none was found.
bool OpenInBrowser(const std::string& url);

}  // namespace quillmend::tool::serve
