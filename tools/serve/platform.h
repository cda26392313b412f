#pragma once
// What the local page's server needs from the operating system.
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace quillmend::tool::serve {

// Creates `path`, which must not exist yet, so that only this user can enter it.
std::error_code MakeOwnerOnlyDirectory(const std::filesystem::path& path);

// Whether `path` (not followed if it is a link) belongs to the user running us.
bool OwnedByMe(const std::filesystem::path& path);

// Hands the address to the desktop's browser without waiting for it; false when none was found.
bool OpenInBrowser(const std::string& url);

// A file that a running server holds locked for as long as it runs; the system lets go of it
// when the process ends, however it ends.
class LockFile {
 public:
  LockFile() = default;
  ~LockFile() { Release(); }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // Creates `path`, which must not exist yet, and holds it.
  std::error_code Hold(const std::filesystem::path& path);
  // Lets go, so that the file can be removed: Windows removes no file that is open.
  void Release();
  // Whether `path` is such a file and nobody holds it any more.
  static bool Abandoned(const std::filesystem::path& path);

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace quillmend::tool::serve
