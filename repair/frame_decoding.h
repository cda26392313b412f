#pragma once

#include "convert/ffmpeg_ptr.h"
#include "core/repair_context.h"
#include "io/mapped_file.h"
#include "io/output_file.h"

namespace quillmend {

// Walks the whole damaged file from its cursor, cuts it into frames by the context's frame-head
// profile, decodes each frame with the sample's decoder and appends it to `pcmFile` as
// interleaved signed 16-bit little-endian stereo, each frame flushed as soon as it is written.
// A frame the decoder refuses is kept open and extended to the next head, so a frame cut in two
// by a false head is tried again whole. The decoder, the resampler slot and the file stay owned
// by the caller; the resampler is set up again in place if the decoder's output format changes.
// Returns kOk when the last span decoded or nothing was left, kEndOfScan when the scan ended on
// a span that did not decode; kWriteFailed as soon as the file has failed (the caller logs it);
// kCancelled (logged) when ShouldStop() said so. `pcmFile` must be open.
ResultCode DecodeFramesToPcm(RepairContext& context, MappedFile& damagedFile,
                             AVCodecContext& decoderContext, SwrContextPtr& resampler,
                             AppendFile& pcmFile);

}  // namespace quillmend
