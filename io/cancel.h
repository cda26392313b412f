#pragma once
// A repair that its caller may stop. The caller installs a question for its thread; long loops
// and waits below ask ShouldStop() now and then and wind up cleanly when it says yes. Nothing
// installed: never stop (the SDK's own calls).
#include <cstdint>

namespace quillmend {

using StopQuestion = bool (*)(void* user);

bool ShouldStop();

// The long steps of the SDK's repairs tell how far they got, so that a caller can show it.
enum class Phase : std::uint8_t {
  kCut,        // the general repair cuts frames into its intermediate file
  kDecode,     // the advanced repair decodes frames into its intermediate file
  kTranscode,  // the ffmpeg tool encodes (told once, when it starts)
};
using ProgressNote = void (*)(void* user, Phase phase, double fraction);

// Tells the note installed for the calling thread, if any; fraction 0 to 1.
void ReportProgress(Phase phase, double fraction);

// For loops over frames: asks ShouldStop() once in every 256 calls, so that a loop that runs
// hundreds of thousands of times pays almost nothing and still stops within a few milliseconds.
class StopPoll {
 public:
  bool Due() { return (++count_ & 0xFF) == 0 && ShouldStop(); }

 private:
  unsigned count_ = 0;
};

class ScopedStopQuestion {
 public:
  ScopedStopQuestion(StopQuestion question, void* user, ProgressNote note = nullptr);
  ~ScopedStopQuestion();
  ScopedStopQuestion(const ScopedStopQuestion&) = delete;
  ScopedStopQuestion& operator=(const ScopedStopQuestion&) = delete;

 private:
  StopQuestion previousQuestion_;
  void* previousUser_;
  ProgressNote previousNote_;
};

}  // namespace quillmend
