#pragma once
// Ctrl-C and a polite kill (SIGINT, SIGTERM; Ctrl-C, Ctrl-Break and closing the console on
// Windows) ask the program to stop: work in progress winds up and removes what it made.
namespace quillmend::tool {

void InstallStopSignals();
bool StopRequested();
// The exit status that tells the caller which signal stopped us (130 for Ctrl-C).
int StopExitStatus();

}  // namespace quillmend::tool
