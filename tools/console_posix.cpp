#include <unistd.h>

#include <cstdlib>
#include <string>

#include "console.h"

namespace quillmend::tool {

// File names are bytes here; the library takes them as they are.
std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

void PrepareConsole() {}

std::string DefaultLogDirectory() {
  // A relative XDG_STATE_HOME is invalid and is ignored.
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return std::string(state) + "/quillmend";
  }
  const char* home = std::getenv("HOME");
  return home != nullptr && *home != '\0' ? std::string(home) + "/.local/state/quillmend" : "";
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace quillmend::tool
