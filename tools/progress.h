#pragma once
// The one line on stderr that shows a long repair is alive, and the way a stop signal reaches
// the library: its progress callback answers "stop" once one came.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "quillmend.h"

namespace quillmend::tool {

class ProgressLine {
 public:
  // Draws only when `visible` (stderr is a terminal), and only after the first second.
  ProgressLine(std::string name, bool visible);
  ~ProgressLine();  // clears the line
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Puts the callback into options.
  void Attach(qm_options* options);

 private:
  static int OnProgress(void* self, double fraction);
  void Draw();

  const std::string name_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  double fraction_ = 0;
  std::chrono::steady_clock::time_point moved_ = started_;  // when fraction_ last grew
  std::size_t drawn_ = 0;                                   // characters on the line
  std::thread drawer_;
};

}  // namespace quillmend::tool
