#pragma once

#include "sdk/repair_context.h"

namespace quillmend {

// Readers of the sample file's sample tables. Each parses every occurrence of its box type in
// the raw bytes, in file order, and keeps the table of the last occurrence. A box whose
// entries would run past the end of the file cannot belong to a healthy file: it replaces
// nothing already found, and when nothing was found before it keeps only the entries inside
// the file. Each returns kOk, or kNoSampleTable when its box type occurs nowhere.
ResultCode ReadChunkOffsets(RepairContext& context);     // stco -> chunkOffsets
ResultCode ReadSamplesPerChunk(RepairContext& context);  // stsc -> samplesPerChunk
ResultCode ReadSampleSizes(RepairContext& context);      // stsz -> sampleSizes

}  // namespace quillmend
