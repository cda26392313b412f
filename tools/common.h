#pragma once
// What the subcommands share: exit statuses, paths as UTF-8, the log.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>

#include "quillmend.h"

namespace quillmend::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The library and the command line speak UTF-8; std::filesystem would read a narrow string in
// the ANSI code page on Windows.
std::filesystem::path FromUtf8(const std::string& text);
std::string ToUtf8(const std::filesystem::path& path);

// The options every subcommand that reads recordings takes.
struct CommonOptions {
  std::string sample;
  std::string sampleDir;
  bool noSiblings = false;
  std::uint32_t rate = 0;
  std::string logDir;
  bool json = false;
};
void AddCommonOptions(CLI::App& command, CommonOptions* options);
// The library's options that the common ones set.
void ApplyCommonOptions(const CommonOptions& common, qm_options* options);

// Opens the library's log in `directory` (made when missing); a log that cannot be had is worth
// a warning, not the repair. Returns the log file's path, or "" without a log.
std::string OpenLog(const std::string& directory);

// A mistake in how the tool was called: the message and what to try, on stderr.
int UsageError(const std::string& message, const std::string& hint = {});

}  // namespace quillmend::tool
