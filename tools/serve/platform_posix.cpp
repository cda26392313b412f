#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "serve/platform.h"

extern char** environ;

namespace quillmend::tool::serve {

std::error_code MakeOwnerOnlyDirectory(const std::filesystem::path& path) {
  // The mode is given at creation: a chmod afterwards would leave a moment in which others
  // could enter.
  if (::mkdir(path.c_str(), 0700) != 0) return {errno, std::generic_category()};
  return {};
}

bool OwnedByMe(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && info.st_uid == ::geteuid();
}

bool OpenInBrowser(const std::string& url) {
  char tool[] = "xdg-open";
  std::string address = url;
  char* argv[] = {tool, address.data(), nullptr};
  pid_t child = 0;
  if (::posix_spawnp(&child, tool, nullptr, nullptr, argv, environ) != 0) return false;
  // xdg-open returns once the browser has been started; reaping it keeps no zombie behind.
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::error_code LockFile::Hold(const std::filesystem::path& path) {
  Release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return {errno, std::generic_category()};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    return {error, std::generic_category()};
  }
  handle_ = fd;
  return {};
}

void LockFile::Release() {
  // Closing the only descriptor of the open file lets go of its lock.
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool LockFile::Abandoned(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

}  // namespace quillmend::tool::serve
