#include "cancel.h"

namespace quillmend {
namespace {
thread_local StopQuestion tQuestion = nullptr;
thread_local void* tUser = nullptr;
}  // namespace

bool ShouldStop() { return tQuestion != nullptr && tQuestion(tUser); }

ScopedStopQuestion::ScopedStopQuestion(StopQuestion question, void* user)
    : previousQuestion_(tQuestion), previousUser_(tUser) {
  tQuestion = question;
  tUser = user;
}

ScopedStopQuestion::~ScopedStopQuestion() {
  tQuestion = previousQuestion_;
  tUser = previousUser_;
}

}  // namespace quillmend
