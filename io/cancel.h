#pragma once
// A repair that its caller may stop. The caller installs a question for its thread; long loops
// and waits below ask ShouldStop() now and then and wind up cleanly when it says yes. Nothing
// installed: never stop (the SDK's own calls).
namespace quillmend {

using StopQuestion = bool (*)(void* user);

bool ShouldStop();

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
  ScopedStopQuestion(StopQuestion question, void* user);
  ~ScopedStopQuestion();
  ScopedStopQuestion(const ScopedStopQuestion&) = delete;
  ScopedStopQuestion& operator=(const ScopedStopQuestion&) = delete;

 private:
  StopQuestion previousQuestion_;
  void* previousUser_;
};

}  // namespace quillmend
