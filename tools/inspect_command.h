#pragma once
#include <CLI/CLI.hpp>

namespace quillmend::tool {

// Adds `inspect FILE`: what the exact repair sees in a file, without writing anything. The exit
// status in *exitStatus: 0 when audio was found, 1 when not, 2 for a usage error.
void AddInspectCommand(CLI::App& app, int* exitStatus);

}  // namespace quillmend::tool
