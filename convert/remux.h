#pragma once

#include <cstdint>

namespace quillmend {

// Copies the audio streams (and cover images) of inputName into a new file at outputName, in
// the container that FFmpeg chooses for the output name, without decoding anything. Returns 0,
// the negative FFmpeg error of the step that failed, or -1 when the output would get no stream.
// Every line it logs is at the information level and starts with "[ffmpeg_remux](line): ".
// When the output file's own writes or its close failed, *writeFailed (if given) is set and the
// result is that error.
std::int32_t ffmpeg_remux(const char* inputName, const char* outputName,
                          bool* writeFailed = nullptr);

// The text of an FFmpeg error code, in a buffer of this thread that the next call overwrites.
const char* ffmpeg_error_text(int error);

}  // namespace quillmend
