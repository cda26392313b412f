#include "cancel.h"

namespace quillmend {
namespace {
thread_local StopQuestion tQuestion = nullptr;
thread_local void* tUser = nullptr;
thread_local ProgressNote tNote = nullptr;
}  // namespace

bool ShouldStop() { return tQuestion != nullptr && tQuestion(tUser); }

void ReportProgress(Phase phase, double fraction) {
  if (tNote != nullptr) tNote(tUser, phase, fraction);
}

ScopedStopQuestion::ScopedStopQuestion(StopQuestion question, void* user, ProgressNote note)
    : previousQuestion_(tQuestion), previousUser_(tUser), previousNote_(tNote) {
  tQuestion = question;
  tUser = user;
  tNote = note;
}

ScopedStopQuestion::~ScopedStopQuestion() {
  tQuestion = previousQuestion_;
  tUser = previousUser_;
  tNote = previousNote_;
}

}  // namespace quillmend
