#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/repair_context.h"

namespace quillmend {

// The tool's parameters travel in a buffer of this many UTF-16 units, its terminating zero
// included.
inline constexpr std::size_t kParameterBufferUnits = 512;

// The tool's parameters for encoding headerless 16-bit stereo PCM at sampleRate into the output
// file as AAC at 128 kbit/s, overwriting an existing file. The paths stand in double quotes,
// unchanged. The input is declared as two channels whatever channelCount the sample had: the
// decoding always writes stereo.
std::string BuildTranscoderParameters(std::uint32_t sampleRate, int channelCount,
                                      std::string_view pcmPath, std::string_view outputPath);

// Whether a path survives being put between double quotes in the parameter text: a quote in it
// would end the quoting early, and backslashes at its end would escape the closing quote.
bool CanQuoteForTranscoder(std::string_view path);

// Whether a parameter text leaves room for the terminating zero in the parameter buffer.
bool FitsParameterBuffer(std::u16string_view parameters);

// Refuses, with kTranscoderArguments and one log line, paths that the parameter text cannot
// carry whole; kOk otherwise. Nothing is ever passed half-quoted or cut short.
ResultCode CheckTranscoderArguments(std::uint32_t sampleRate, int channelCount,
                                    std::string_view pcmPath, std::string_view outputPath);

// Has the ffmpeg tool beside the host executable encode the PCM file into the output file and
// waits for it, through the Env in force. Returns kOk once the tool has run and ended with code
// 0; kTranscoderFailed (logged with the code) when it ended otherwise or was killed;
// kTranscoderNotStarted when it could not be started; kCancelled (logged) when ShouldStop()
// said so while it ran, and it was ended; kTranscoderArguments for paths it cannot be given.
// The context and the channel count are not used: the PCM is always stereo.
ResultCode EncodePcmToM4a(RepairContext& context, std::uint32_t sampleRate, int channelCount,
                          std::string_view pcmPath, std::string_view outputPath);

// Starts the ffmpeg tool beside the host executable with a parameter text, hidden, and waits
// for it to end. Same results as EncodePcmToM4a.
ResultCode RunFfmpegTool(std::string_view parameterText);

}  // namespace quillmend
