#pragma once

#include "core/repair_context.h"

namespace quillmend {

// Readers of the sample file's sample tables. Each finds every occurrence of its box type in
// the raw bytes and keeps the table of the last occurrence, parsing only that one, so that a
// file full of the type's bytes costs one pass over it, not one pass per occurrence. A box whose
// entries would run past the end of the file cannot belong to a healthy file: it replaces
// nothing already found, and when nothing was found before it keeps only the entries inside
// the file. Each returns kOk, or kNoSampleTable when its box type occurs nowhere.
ResultCode ReadChunkOffsets(RepairContext& context);     // stco -> chunkOffsets
ResultCode ReadSamplesPerChunk(RepairContext& context);  // stsc -> samplesPerChunk
ResultCode ReadSampleSizes(RepairContext& context);      // stsz -> sampleSizes

}  // namespace quillmend
