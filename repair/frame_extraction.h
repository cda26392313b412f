#pragma once

#include "core/repair_context.h"
#include "io/output_file.h"

namespace quillmend {

// Cuts every media-data region of the damaged file into frames, from one frame head to the
// next, and appends them to the ADTS stream in file order. A region starts after an "mdat"
// occurrence and ends at the next occurrence's type bytes or at the end of the file; four zero
// bytes at its start switch it to marker mode. Returns kOk; kAllocFailed (logged) when the
// walk was aborted by an error, frames written until then staying in the stream; kWriteFailed
// as soon as the stream has failed; kCancelled (logged) when ShouldStop() said so.
ResultCode ExtractFramesToAdts(RepairContext& context, AppendFile& stream);

}  // namespace quillmend
