#pragma once

#include <string>

#include "core/result_codes.h"
#include "io/directory_lock.h"
#include "io/output_file.h"

namespace quillmend {

// Takes the lock of the directory that holds the intermediate file at `path`, waiting while
// another repair holds it. kOk; kCancelled when told to stop while waiting; kIntermediateFile
// with a log line when the directory cannot be opened.
ResultCode LockIntermediateDirectory(const std::string& path, DirectoryLock& lock);

// Starts an intermediate file in the output directory afresh: whatever an earlier run left at
// path is removed first, so its data never reaches this output, and the new file is created
// only where nothing is, never through a link. Returns kOk with file open, or kIntermediateFile
// with a log line when it cannot be created; a stale file that cannot be removed throws
// std::filesystem::filesystem_error.
ResultCode CreateIntermediateFile(const std::string& path, AppendFile& file);

// Closes the intermediate file that its writer finished with `r`. A write, flush or close that
// failed turns any result into kWriteFailed, with a log line naming the file and the reason.
// A file that failed so, or whose writer was stopped (kCancelled), is incomplete and removed.
// Other results pass unchanged.
ResultCode CloseIntermediateFile(const std::string& path, AppendFile& file, ResultCode r);

}  // namespace quillmend
