// quillmend: repairs damaged M4A recordings with the Quillmend library.
#ifdef _WIN32
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>
#endif
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "inspect_command.h"
#include "quillmend_sdk.h"
#include "repair_command.h"

namespace {

namespace fs = std::filesystem;
using quillmend::tool::RepairOptions;

constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: quillmend repair DAMAGED... [-o OUTPUT | --out-dir DIR] [--sample HEALTHY]\n"
    "                        [--log-dir DIR] [--json] [--force]\n"
    "       quillmend inspect FILE\n"
    "       quillmend --help | --version\n";

constexpr char kHelp[] =
    "\n"
    "Repairs M4A recordings (AAC in MP4) whose container broke: a recorder that died before\n"
    "writing its index, a wiped header, a burst of bad bytes in the audio.\n"
    "\n"
    "repair     Writes a repaired copy of every DAMAGED file, one after another.\n"
    "           Without --sample the AAC frames are copied as they are; with --sample HEALTHY\n"
    "           (a good recording from the same device) they are decoded with its settings\n"
    "           and encoded again as AAC 128 kbit/s by the ffmpeg tool beside quillmend.\n"
    "  -o OUTPUT        output file (one DAMAGED file only)\n"
    "  --out-dir DIR    write NAME-repaired.m4a files into DIR (created when missing)\n"
    "                   default: NAME-repaired.m4a beside each DAMAGED file\n"
    "  --force          replace existing output files\n"
    "  --log-dir DIR    where quillmend_sdk.log goes\n"
    "                   default: $XDG_STATE_HOME/quillmend or ~/.local/state/quillmend\n"
    "  --json           one JSON object per file on stdout instead of text\n"
    "inspect    Shows what the repairs see in FILE, to tell why a file did not come back.\n"
    "\n"
    "Exit status: 0 every file repaired, 1 a repair failed, 2 usage error.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quillmend: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

std::string DefaultLogDir() {
#ifdef _WIN32
  if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
    return (fs::path(local) / "quillmend").string();
  }
#endif
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return (fs::path(state) / "quillmend").string();
  }
  const char* home = std::getenv("HOME");
  return (fs::path(home != nullptr ? home : ".") / ".local" / "state" / "quillmend").string();
}

int Repair(const std::vector<std::string_view>& args) {
  RepairOptions options;
  std::optional<std::string> logDir;
  // Options that take a value: where it goes, and what to say when it is missing.
  const struct {
    std::string_view name;
    std::optional<std::string>* target;
    const char* missing;
  } valued[] = {
      {"-o", &options.output, "-o needs a file name"},
      {"--output", &options.output, "-o needs a file name"},
      {"--out-dir", &options.outputDir, "--out-dir needs a directory"},
      {"--sample", &options.sample, "--sample needs a healthy recording"},
      {"--log-dir", &logDir, "--log-dir needs a directory"},
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const auto option = std::find_if(std::begin(valued), std::end(valued),
                                     [&](const auto& o) { return o.name == arg; });
    if (option != std::end(valued)) {
      if (i + 1 >= args.size()) return UsageError(option->missing);
      *option->target = std::string(args[++i]);
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--force") {
      options.force = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + std::string(arg));
    } else {
      options.inputs.emplace_back(arg);
    }
  }
  if (options.inputs.empty()) return UsageError("repair needs at least one DAMAGED file");
  if (options.output && options.outputDir) return UsageError("give either -o or --out-dir");
  if (options.output && options.inputs.size() > 1) {
    return UsageError("-o names one output; use --out-dir for several files");
  }
  if (options.sample && !fs::is_regular_file(*options.sample)) {
    return UsageError("the sample " + *options.sample + " is not a file");
  }
  options.logDir = logDir ? *logDir : DefaultLogDir();
  std::error_code error;
  fs::create_directories(options.logDir, error);
  if (error) return UsageError("cannot create the log directory " + options.logDir);
  if (options.outputDir) {
    fs::create_directories(*options.outputDir, error);
    if (error) return UsageError("cannot create the output directory " + *options.outputDir);
  }
  return quillmend::tool::RunRepair(options);
}

}  // namespace

#ifdef _WIN32
// The arguments as UTF-8, which is what the library takes; argv would hold them in the ANSI
// code page, where most names outside it cannot be written.
std::vector<std::string> Utf8Arguments() {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 0; wide != nullptr && i < count; ++i) {
    const std::u8string text = fs::path(wide[i]).u8string();
    arguments.emplace_back(text.begin(), text.end());
  }
  ::LocalFree(wide);
  return arguments;
}
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  ::SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> utf8;
  try {
    utf8 = Utf8Arguments();
  } catch (const std::exception&) {
    return UsageError("an argument is not valid text");
  }
  const std::vector<std::string_view> args(utf8.begin() + (utf8.empty() ? 0 : 1), utf8.end());
  (void)argc, (void)argv;
#else
  const std::vector<std::string_view> args(argv + 1, argv + argc);
#endif
  if (args.empty()) return UsageError("no command given");
  const std::string_view command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::printf("%s%s", kUsage, kHelp);
    return 0;
  }
  if (command == "--version") {
    std::printf("quillmend %s\n", QUILLMEND_SDK_VERSION_TEXT);
    return 0;
  }
  try {
    if (command == "repair") return Repair({args.begin() + 1, args.end()});
    if (command == "inspect") {
      if (args.size() != 2) return UsageError("inspect takes one FILE");
      return quillmend::tool::RunInspect(std::string(args[1]));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillmend: %s\n", e.what());
    return 1;
  }
  return UsageError("unknown command " + std::string(command));
}
