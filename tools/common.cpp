#include "common.h"

#include <cstdio>
#include <system_error>

#include "console.h"
#include "quillmend.h"

namespace quillmend::tool {

namespace fs = std::filesystem;

fs::path FromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string ToUtf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

void AddCommonOptions(CLI::App& command, CommonOptions* options) {
  options->logDir = DefaultLogDirectory();
  command
      .add_option("--sample", options->sample,
                  "a healthy recording made by the same recorder with the same settings")
      ->type_name("HEALTHY");
  command
      .add_option("--sample-dir", options->sampleDir,
                  "a folder of healthy recordings from the same recorder, looked at for the rate")
      ->type_name("DIR");
  command.add_flag("--no-siblings", options->noSiblings,
                   "do not look at the recordings beside the file for its rate");
  command
      .add_option("--rate", options->rate,
                  "the sampling rate in Hz, when the file cannot tell (e.g. 44100, 48000)")
      ->type_name("HZ");
  command
      .add_option("--log-dir", options->logDir,
                  "where quillmend_sdk.log goes (default: " + DefaultLogDirectory() + ")")
      ->type_name("DIR");
  command.add_flag("--json", options->json, "one JSON object per file on stdout, nothing else");
}

void ApplyCommonOptions(const CommonOptions& common, qm_options* options) {
  options->sample_path = common.sample.empty() ? nullptr : common.sample.c_str();
  options->sample_dir = common.sampleDir.empty() ? nullptr : common.sampleDir.c_str();
  options->no_siblings = common.noSiblings ? 1 : 0;
  options->rate_hz = common.rate;
}

std::string OpenLog(const std::string& directory) {
  if (directory.empty()) {
    std::fprintf(stderr, "quillmend: warning: no folder for the log (give --log-dir)\n");
    return {};
  }
  std::error_code error;
  fs::create_directories(FromUtf8(directory), error);
  if (error) {
    std::fprintf(stderr,
                 "quillmend: warning: cannot make the log folder %s: %s; going on without a log\n",
                 directory.c_str(), error.message().c_str());
    return {};
  }
  if (qm_set_log_directory(directory.c_str()) != 0) {
    std::fprintf(stderr, "quillmend: warning: cannot open a log in %s; going on without a log\n",
                 directory.c_str());
    return {};
  }
  return ToUtf8(FromUtf8(directory) / "quillmend_sdk.log");
}

int UsageError(const std::string& message, const std::string& hint) {
  std::fprintf(stderr, "quillmend: %s\n", message.c_str());
  if (!hint.empty()) std::fprintf(stderr, "  try: %s\n", hint.c_str());
  return kExitUsage;
}

}  // namespace quillmend::tool
