#include "paths.h"

#include <cerrno>
#include <fstream>
#include <system_error>

#include "io/env.h"
#include "io/native_path.h"
#include "io/utf8.h"

namespace quillmend::api {

fs::path ToPath(const std::string& utf8) { return NativePath(Utf8ToWide(utf8)); }
std::string ToUtf8(const fs::path& path) { return NativePathToUtf8(path); }

std::string FileName(const std::string& utf8) { return ToUtf8(ToPath(utf8).filename()); }

std::string Absolute(const char* path) {
  if (path == nullptr || *path == '\0') return {};
  return ToUtf8(fs::absolute(ToPath(path)));
}

std::string WhyUnreadable(const fs::path& path) {
  FileInfo info;
  if (const std::error_code e = CurrentEnv()->Stat(path, &info)) return e.message();
  switch (info.kind) {
    case FileInfo::Kind::kNone:
      return std::make_error_code(std::errc::no_such_file_or_directory).message();
    case FileInfo::Kind::kDirectory:
      return std::make_error_code(std::errc::is_a_directory).message();
    case FileInfo::Kind::kRegular:
      break;
    default:
      return "not a regular file";
  }
  if (info.size == 0) return "empty file";
  errno = 0;
  if (std::ifstream(path, std::ios::binary).is_open()) return {};
  return errno != 0 ? std::generic_category().message(errno) : "cannot be opened";
}

std::string TrackPath(const std::string& utf8, std::uint32_t track) {
  const fs::path path = ToPath(utf8);
  fs::path name = path.stem();
  name += "-track" + std::to_string(track);
  name += path.extension();
  return ToUtf8(path.parent_path() / name);
}

}  // namespace quillmend::api
