#pragma once
// The server's own directory under the system's temporary one, for the uploads, the repairs'
// intermediate files and their outputs. It is locked for as long as the server runs, so that a
// later server can tell the directory of one that was killed from that of one still running.
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "serve/platform.h"

namespace quillmend::tool::serve {

class WorkDirectory {
 public:
  static constexpr std::string_view kPrefix = "quillmend-serve-";
  static constexpr char kLockFile[] = "server.lock";

  WorkDirectory() = default;
  // Lets go of the lock and removes the directory with everything in it.
  ~WorkDirectory();
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  // Makes a fresh directory under `parent`, only for this user, and locks it.
  std::error_code Create(const std::filesystem::path& parent);
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  LockFile lock_;
};

// Whether a directory's name is one that WorkDirectory makes.
bool IsWorkDirectoryName(std::string_view name);

// Removes what killed servers left under `parent`: the directories with our name, of this user,
// whose lock nobody holds. Another running server's directory holds its lock; a directory
// without a lock file may be one that a server is making: both stay. The directories removed.
std::vector<std::filesystem::path> RemoveAbandoned(const std::filesystem::path& parent);

}  // namespace quillmend::tool::serve
