#pragma once

#include <cstdint>

#include "quillmend_sdk.h"

namespace quillmend {

// Signed 32-bit result of every exported call and every stage; 0 is success.
using ResultCode = std::int32_t;

inline constexpr ResultCode kOk = ORVM4A_OK;
inline constexpr ResultCode kAllocFailed = ORVM4A_ERR_ALLOC;
inline constexpr ResultCode kBadArgument = ORVM4A_ERR_ARGUMENT;
inline constexpr ResultCode kMapFailed = ORVM4A_ERR_MAP;
inline constexpr ResultCode kNotM4a = ORVM4A_ERR_NOT_M4A;
inline constexpr ResultCode kNoMediaData = ORVM4A_ERR_NO_MDAT;
inline constexpr ResultCode kNoSampleTable = ORVM4A_ERR_NO_SAMPLE_TABLE;
inline constexpr ResultCode kMediaFailed = ORVM4A_ERR_MEDIA;
// Tells a scanning loop that its range is exhausted; it never leaves the library.
inline constexpr ResultCode kEndOfScan = -4047;
inline constexpr ResultCode kTranscoderNotStarted = ORVM4A_ERR_TRANSCODER;
inline constexpr ResultCode kPathEncoding = ORVM4A_ERR_PATH_ENCODING;
inline constexpr ResultCode kIntermediateFile = ORVM4A_ERR_INTERMEDIATE;
inline constexpr ResultCode kTooLarge = ORVM4A_ERR_TOO_LARGE;
inline constexpr ResultCode kTranscoderArguments = ORVM4A_ERR_TRANSCODER_ARGS;
inline constexpr ResultCode kInternal = ORVM4A_ERR_INTERNAL;
inline constexpr ResultCode kOutputClash = ORVM4A_ERR_OUTPUT_CLASH;
inline constexpr ResultCode kWriteFailed = ORVM4A_ERR_WRITE;
inline constexpr ResultCode kTranscoderFailed = ORVM4A_ERR_TRANSCODER_FAILED;
inline constexpr ResultCode kCancelled = ORVM4A_ERR_CANCELLED;

}  // namespace quillmend
