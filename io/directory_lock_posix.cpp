#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "cancel.h"
#include "directory_lock.h"

namespace quillmend {

DirectoryLock::Outcome DirectoryLock::Acquire(const std::filesystem::path& directory,
                                              std::error_code* error) {
  Release();
  const std::filesystem::path target = directory.empty() ? "." : directory;
  // A lock taken with flock belongs to the open file description, so two threads of one process
  // that each open the directory exclude each other as two processes do.
  const int fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = {errno, std::generic_category()};
    return Outcome::kFailed;
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      *error = {errno, std::generic_category()};
      ::close(fd);
      return Outcome::kFailed;
    }
    if (ShouldStop()) {
      ::close(fd);
      return Outcome::kStopped;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  handle_ = fd;
  return Outcome::kHeld;
}

void DirectoryLock::Release() {
  // Closing the only descriptor of the description releases its lock.
  if (handle_ != kNone) ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

}  // namespace quillmend
