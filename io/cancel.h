#pragma once
// A repair that its caller may stop. The caller installs a question for its thread; long loops
// and waits below ask ShouldStop() now and then and wind up cleanly when it says yes. Nothing
// installed: never stop (the SDK's own calls).
namespace quillmend {

using StopQuestion = bool (*)(void* user);

bool ShouldStop();

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
