#pragma once
// Paths as the caller gives them (UTF-8) and as the platform takes them.
#include <filesystem>
#include <string>

namespace quillmend::api {

namespace fs = std::filesystem;

fs::path ToPath(const std::string& utf8);
std::string ToUtf8(const fs::path& path);
// The last component of a UTF-8 path, for messages.
std::string FileName(const std::string& utf8);
// A path from the caller made absolute: the SDK's repairs put their intermediate files beside
// the output, and a bare name would send them to the root directory. "" for null or "".
std::string Absolute(const char* path);
// The operating system's own reason why a file cannot be read, or "" when it can.
std::string WhyUnreadable(const fs::path& path);
// NAME-trackN.EXT beside NAME.EXT.
std::string TrackPath(const std::string& utf8, std::uint32_t track);

}  // namespace quillmend::api
