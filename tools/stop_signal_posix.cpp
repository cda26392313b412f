#include <signal.h>

#include <atomic>

#include "stop_signal.h"

namespace quillmend::tool {
namespace {
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the flag is set in a signal handler");

void OnSignal(int signal) {
  if (gSignal.exchange(signal) != 0) {
    // A second Ctrl-C while the first is winding up: the default action, at once.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
}
}  // namespace

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

bool StopRequested() { return gSignal.load() != 0; }

int StopExitStatus() { return 128 + gSignal.load(); }

}  // namespace quillmend::tool
