#pragma once
// The outcome of a step of the library's own repairs: a code, and on failure what happened in
// plain words and what to try next. Returned, never thrown; the C code of the public API exists
// only at its edge.
#include <cstdint>
#include <string>
#include <utility>

namespace quillmend {

class Status {
 public:
  enum class Code : std::uint8_t {
    kOk,
    kArgument,      // a malformed request, or one that contradicts the file (a rate, a track)
    kInput,         // the damaged file cannot be read
    kSample,        // the healthy sample cannot be read or holds no usable track
    kMismatch,      // the sample or the rate given contradicts the frames
    kNoAudio,       // no audio was recognised
    kNeedsSample,   // several tracks that only a sample can tell apart
    kOutputExists,  // the output exists and may not be replaced
    kOutput,        // the output cannot be written there
    kNoSpace,       // the output's disk is full
    kCheck,         // the output, read back, does not hold the audio found
    kTranscoder,    // the ffmpeg tool could not be started, or failed
    kCancelled,     // the caller asked to stop
    kInternal,      // a fault of ours
  };

  Status() = default;
  static Status Ok() { return {}; }
  static Status Failed(Code code, std::string message, std::string hint = {}) {
    return Status(code, std::move(message), std::move(hint));
  }
  static Status Cancelled() { return Failed(Code::kCancelled, "cancelled; nothing was written"); }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  const std::string& hint() const { return hint_; }

 private:
  Status(Code code, std::string message, std::string hint)
      : code_(code), message_(std::move(message)), hint_(std::move(hint)) {}

  Code code_ = Code::kOk;
  std::string message_;
  std::string hint_;
};

}  // namespace quillmend
