#pragma once
#include <CLI/CLI.hpp>

namespace quillmend::tool {

// Adds the `serve` subcommand (the local web page). Its callback runs the server until it is
// stopped and leaves the process's exit status in *exitStatus.
void AddServeCommand(CLI::App& app, int* exitStatus);

}  // namespace quillmend::tool
