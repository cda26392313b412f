#pragma once

#include <cstdint>
#include <filesystem>
#include <system_error>

namespace quillmend {

// Serialises the repairs that write into one directory: their intermediate files have fixed
// names there. The lock belongs to the directory itself, so it holds across threads and
// processes alike, whatever name or link each uses for the directory. Released when the object
// goes, and by the system when the process dies.
class DirectoryLock {
 public:
  enum class Outcome { kHeld, kStopped, kFailed };

  DirectoryLock() = default;
  ~DirectoryLock() { Release(); }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Waits, without a time-out, until the lock of `directory` is free and takes it. While it
  // waits it asks ShouldStop() now and then, and gives up with kStopped when told to. kFailed,
  // with *error set, when the directory cannot be opened.
  Outcome Acquire(const std::filesystem::path& directory, std::error_code* error);
  void Release();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

}  // namespace quillmend
