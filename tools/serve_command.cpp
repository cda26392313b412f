#include "serve_command.h"

namespace quillmend::tool {

void AddServeCommand(CLI::App& app, int* exitStatus) {
  app.add_subcommand("serve", "Serves a local web page to repair recordings (not built yet)")
      ->callback([exitStatus] { *exitStatus = 1; });
}

}  // namespace quillmend::tool
