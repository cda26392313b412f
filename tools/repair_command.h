#pragma once
#include <CLI/CLI.hpp>

namespace quillmend::tool {

// Adds `repair FILE...`. Its callback repairs every file in turn and leaves the exit status in
// *exitStatus: 0 when every file was repaired or was not damaged, 1 when one was not, 2 for a
// usage error, 128 + the signal after a stop signal.
void AddRepairCommand(CLI::App& app, int* exitStatus);

}  // namespace quillmend::tool
