#include "stages.h"

#include "mp4/box_search.h"
#include "mp4/frame_heads.h"
#include "mp4/sample_tables.h"

namespace quillmend {

ResultCode VerifyDamagedFile(RepairContext& context) {
  if (ResultCode r = CheckFileType(context); r != kOk) return r;
  return FindMediaData(context);
}

ResultCode PrepareSampleFile(RepairContext& context) {
  for (auto step :
       {CheckFileType, ReadChunkOffsets, ReadSamplesPerChunk, ReadSampleSizes, LearnFrameHeads}) {
    if (ResultCode r = step(context); r != kOk) return r;
  }
  return kOk;
}

}  // namespace quillmend
