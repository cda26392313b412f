#pragma once
// A repair holds a lock on a file in its work directory for as long as it runs. The system lets
// go of it when the process ends, however it ends, so a later repair into the same directory
// can tell the work directory of a repair that was killed from one that is running.
#include <cstdint>
#include <filesystem>

namespace quillmend::api {

class WorkLock {
 public:
  WorkLock() = default;
  ~WorkLock();
  WorkLock(const WorkLock&) = delete;
  WorkLock& operator=(const WorkLock&) = delete;

  // Creates `file` and holds it; false when it cannot.
  bool Hold(const std::filesystem::path& file);

  // Lets go of the file, so that it can be removed: Windows removes no file that is open.
  void Release();

  // Whether `file` exists and nobody holds it.
  static bool Abandoned(const std::filesystem::path& file);

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace quillmend::api
