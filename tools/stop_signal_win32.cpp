#include <windows.h>

#include <atomic>

#include "stop_signal.h"

namespace quillmend::tool {
namespace {
std::atomic<bool> gStop{false};

BOOL WINAPI OnControl(DWORD) {
  gStop = true;
  return TRUE;  // handled: the work in progress winds up by itself
}
}  // namespace

void InstallStopSignals() { ::SetConsoleCtrlHandler(OnControl, TRUE); }

bool StopRequested() { return gStop.load(); }

int StopExitStatus() { return 130; }

}  // namespace quillmend::tool
