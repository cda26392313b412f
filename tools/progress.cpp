#include "progress.h"

#include <cmath>
#include <cstdio>

#include "report.h"
#include "stop_signal.h"

namespace quillmend::tool {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

ProgressLine::ProgressLine(std::string name, bool visible) : name_(std::move(name)) {
  if (!visible) return;
  // The library calls back when it gets to it; the line is redrawn on a clock of its own.
  drawer_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; })) {
      Draw();
    }
    if (drawn_ > 0) std::fprintf(stderr, "\r%*s\r", int(drawn_), "");
  });
}

ProgressLine::~ProgressLine() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  if (drawer_.joinable()) drawer_.join();
}

void ProgressLine::Attach(qm_options* options) {
  options->progress = &ProgressLine::OnProgress;
  options->progress_user = this;
}

int ProgressLine::OnProgress(void* self, double fraction) {
  auto* line = static_cast<ProgressLine*>(self);
  if (fraction >= 0) {  // a negative fraction only asks whether to stop
    std::lock_guard lock(line->mutex_);
    if (fraction > line->fraction_) line->fraction_ = fraction, line->moved_ = Clock::now();
  }
  return StopRequested() ? 1 : 0;
}

void ProgressLine::Draw() {
  const auto now = Clock::now();
  const double elapsed = Seconds(now - started_).count();
  if (elapsed < 1.0) return;
  std::string text = "  " + name_ + ": " + std::to_string(int(fraction_ * 100)) + "%";
  // An estimate only while the work moves: a stage that reports nothing would make it grow
  // without end.
  if (fraction_ >= 0.02 && elapsed >= 3 && Seconds(now - moved_).count() < 2) {
    const double left = Seconds(moved_ - started_).count() * (1 - fraction_) / fraction_ -
                        Seconds(now - moved_).count();
    text += ", about " + Duration(std::max(left, 1.0)) + " left";
  } else {
    text += ", " + Duration(elapsed) + " so far";
  }
  std::fprintf(stderr, "\r%-*s", int(drawn_), text.c_str());
  std::fflush(stderr);
  drawn_ = std::max(drawn_, text.size());
}

}  // namespace quillmend::tool
