#pragma once
// A repair's private directory inside its output's directory: everything it writes is made
// there and renamed into place once checked, and the directory goes with what the repair made
// in it. A repair that was killed cannot remove its own: the next repair into the same
// directory does, by the lock the killed one held.
#include <filesystem>
#include <string>
#include <system_error>

#include "work_lock.h"

namespace quillmend::api {

class Workspace {
 public:
  Workspace() = default;
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  std::error_code Make(const std::filesystem::path& outputDirectory);
  // A file of the repair's: one of the names a work directory may hold (see workspace.cpp).
  std::filesystem::path File(const std::string& name) const { return dir_ / name; }
  // The work file of the output of sound track `track` (1, 2, ...).
  std::filesystem::path Output(std::uint32_t track) const;

 private:
  std::filesystem::path dir_;
  WorkLock lock_;
};

}  // namespace quillmend::api
