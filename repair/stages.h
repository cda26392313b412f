#pragma once

#include "core/repair_context.h"

namespace quillmend {

// Verify stage of a general repair: the file-type check, then every "mdat" occurrence.
ResultCode VerifyDamagedFile(RepairContext& context);

// Prepare stage of an advanced repair, on the sample file: the file-type check, the three
// sample tables and the frame-head profile learned from them.
ResultCode PrepareSampleFile(RepairContext& context);

}  // namespace quillmend
