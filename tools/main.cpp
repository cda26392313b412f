// quillmend: gives back the audio of damaged M4A recordings, through the Quillmend library's
// public interface only.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "common.h"
#include "console.h"
#include "inspect_command.h"
#include "quillmend.h"
#include "repair_command.h"
#include "serve_command.h"
#include "stop_signal.h"

using namespace quillmend::tool;

int main(int argc, char** argv) {
  PrepareConsole();
  InstallStopSignals();
  // Damaged frames are decoded on purpose; FFmpeg's complaints would bury the result lines.
  qm_quiet_ffmpeg_log();
  int exitStatus = kExitOk;
  CLI::App app("Gives back the audio of damaged M4A recordings (AAC in MP4).", "quillmend");
  app.set_version_flag("--version", qm_version());
  app.require_subcommand(1);
  app.footer("Each subcommand tells more: quillmend repair --help");
  AddRepairCommand(app, &exitStatus);
  AddInspectCommand(app, &exitStatus);
  AddServeCommand(app, &exitStatus);
  try {
    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    app.parse(int(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    // Help and version are asked for; everything else is a mistake in the call.
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillmend: %s\n", e.what());
    return kExitFailed;
  }
  return exitStatus;
}
