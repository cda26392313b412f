#include "intermediate_file.h"

#include <filesystem>

#include "core/log_sink.h"
#include "io/native_path.h"
#include "io/utf8.h"

namespace quillmend {

ResultCode LockIntermediateDirectory(const std::string& path, DirectoryLock& lock) {
  const std::filesystem::path directory = NativePath(Utf8ToWide(path)).parent_path();
  std::error_code error;
  switch (lock.Acquire(directory, &error)) {
    case DirectoryLock::Outcome::kHeld:
      return kOk;
    case DirectoryLock::Outcome::kStopped:
      return LogStopped();
    case DirectoryLock::Outcome::kFailed:
      break;
  }
  LogError(">>[!] Can't lock the output directory: %s (%s)", NativePathToUtf8(directory).c_str(),
           error.message().c_str());
  return kIntermediateFile;
}

ResultCode CreateIntermediateFile(const std::string& path, AppendFile& file) {
  RemoveIfExists(path);
  file = AppendFile(path);
  if (file.IsOpen()) return kOk;
  LogError(">>[!] Can't create the intermediate file: %s (%s)", path.c_str(),
           file.Error().message().c_str());
  return kIntermediateFile;
}

ResultCode CloseIntermediateFile(const std::string& path, AppendFile& file, ResultCode r) {
  if (const std::error_code error = file.Close()) {
    LogError(">>[!] Can't write the intermediate file: %s (%s)", path.c_str(),
             error.message().c_str());
    r = kWriteFailed;
  }
  if (r != kWriteFailed && r != kCancelled) return r;
  try {
    RemoveIfExists(path);
  } catch (const std::filesystem::filesystem_error& e) {
    LogError(">>[!] %s", e.what());  // the repair's own code says more than this one
  }
  return r;
}

}  // namespace quillmend
