#include "repair_command.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
// after windows.h, which it needs
#include <psapi.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <set>
#include <system_error>

#include "json.h"
#include "media_check.h"
#include "messages.h"
#include "quillmend_sdk.h"

namespace quillmend::tool {
namespace fs = std::filesystem;
namespace {

struct FileResult {
  std::string input, output;
  RepairMode mode = RepairMode::kGeneral;
  std::int32_t code = ORVM4A_OK;
  bool repaired = false;
  std::string message;
  MediaCheck media;
  double seconds = 0;
};

std::string DefaultOutput(const fs::path& input, const std::optional<std::string>& outputDir) {
  const fs::path directory = outputDir ? fs::path(*outputDir) : input.parent_path();
  return (directory / (input.stem().string() + "-repaired.m4a")).string();
}

// This process's peak resident memory so far (the transcoder of an advanced repair is a process
// of its own and not counted).
long long PeakMemoryKb() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)
             ? static_cast<long long>(counters.PeakWorkingSetSize / 1024)
             : -1;
#else
  rusage usage{};
  return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : -1;
#endif
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return ::_isatty(::_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) == 1;
#endif
}

std::uintmax_t SizeOf(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return error ? 0 : size;
}

// Runs the repair on a worker thread and, once it has taken a second, shows on stderr that it
// is alive: the intermediate file and then the output growing.
std::int32_t RepairWithProgress(const FileResult& file, const std::optional<std::string>& sample) {
  auto repair = std::async(std::launch::async, [&] {
    return sample ? OrvM4aAdvanceRepair(file.input.c_str(), sample->c_str(), file.output.c_str())
                  : OrvM4aGeneralRepair(file.input.c_str(), file.output.c_str());
  });
  const bool terminal = StderrIsTerminal();
  const fs::path directory = fs::path(file.output).parent_path();
  const fs::path intermediate = directory / (sample ? "tmp.pcm" : "tmp.adts");
  const auto started = std::chrono::steady_clock::now();
  auto lastLine = started;
  bool shown = false;
  while (repair.wait_for(std::chrono::milliseconds(250)) != std::future_status::ready) {
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - started).count();
    if (elapsed < 1.0 || (!terminal && now - lastLine < std::chrono::seconds(5))) continue;
    lastLine = now;
    std::fprintf(stderr, "%s  working on %s: %.0f s, intermediate %.1f MB, output %.1f MB%s",
                 terminal ? "\r\033[K" : "", fs::path(file.input).filename().string().c_str(),
                 elapsed, SizeOf(intermediate) / 1e6, SizeOf(file.output) / 1e6,
                 terminal ? "" : "\n");
    std::fflush(stderr);
    shown = true;
  }
  if (shown && terminal) std::fprintf(stderr, "\r\033[K");
  return repair.get();
}

// A repair that returned 0 has written something; whether FFmpeg can read it back is the proof.
void CheckOutput(FileResult& file) {
  if (!fs::exists(file.output)) {
    file.repaired = false;
    file.message = "the ffmpeg tool ran but wrote no output file";
    return;
  }
  // The advanced repair re-encodes through an external tool whose failures it cannot see, so
  // its output is decoded in full; the general repair's frames are the original ones.
  file.media = CheckMedia(file.output, file.mode == RepairMode::kAdvanced);
  const bool readable = file.media.opened && file.media.hasAac && file.media.aacFrames > 0 &&
                        (file.mode == RepairMode::kGeneral || file.media.decodedFrames > 0);
  if (!readable) {
    file.repaired = false;
    file.message = file.mode == RepairMode::kAdvanced
                       ? "the ffmpeg tool ran but its output does not decode"
                       : "the output holds no readable AAC audio";
  }
}

void PrintResult(const FileResult& file, const std::string& logFile, bool json) {
  if (json) {
    JsonObject object;
    object.Add("input", file.input)
        .Add("output", file.output)
        .Add("mode", file.mode == RepairMode::kAdvanced ? "advanced" : "general")
        .Add("code", static_cast<int>(file.code))
        .Add("repaired", file.repaired)
        .Add("message", file.message);
    if (file.media.opened) {
      object.Add("duration_seconds", file.media.durationSeconds)
          .Add("aac_frames", file.media.aacFrames);
    } else {
      object.AddNull("duration_seconds").AddNull("aac_frames");
    }
    object.Add("elapsed_seconds", file.seconds)
        .Add("peak_memory_kb", PeakMemoryKb())
        .Add("log", logFile);
    std::printf("%s\n", object.str().c_str());
  } else if (file.repaired) {
    std::printf("repaired  %s -> %s (%.1f s, %lld AAC frames) [log: %s]\n", file.input.c_str(),
                file.output.c_str(), file.media.durationSeconds, file.media.aacFrames,
                logFile.c_str());
  } else {
    std::printf("FAILED    %s: %s [code %d; log: %s]\n", file.input.c_str(), file.message.c_str(),
                static_cast<int>(file.code), logFile.c_str());
  }
  std::fflush(stdout);
}

void PrintSummary(const std::vector<FileResult>& results, const std::string& logFile) {
  std::size_t repaired = 0;
  for (const auto& r : results) repaired += r.repaired;
  std::printf("\n%zu of %zu files repaired\n", repaired, results.size());
  std::printf("%-8s %-40s %10s %10s  %s\n", "STATUS", "FILE", "DURATION", "FRAMES",
              "OUTPUT / REASON");
  for (const auto& r : results) {
    const std::string name = fs::path(r.input).filename().string();
    if (r.repaired) {
      std::printf("%-8s %-40s %8.1f s %10lld  %s\n", "ok", name.c_str(), r.media.durationSeconds,
                  r.media.aacFrames, r.output.c_str());
    } else {
      std::printf("%-8s %-40s %10s %10s  %s\n", "failed", name.c_str(), "-", "-",
                  r.message.c_str());
    }
  }
  std::printf("log: %s\n", logFile.c_str());
}

}  // namespace

int RunRepair(const RepairOptions& options) {
  static int logOwner;  // the logging library wants a non-null owner
  const std::string logFile = (fs::path(options.logDir) / "quillmend_sdk.log").string();
  OrvM4aInit(options.logDir.c_str(), &logOwner);
  QuietFfmpegLog();

  const std::optional<std::string> sample =
      options.sample ? std::optional<std::string>(fs::absolute(*options.sample).string())
                     : std::nullopt;
  std::vector<FileResult> results;
  std::set<std::string> written;
  for (const std::string& input : options.inputs) {
    FileResult file;
    file.mode = sample ? RepairMode::kAdvanced : RepairMode::kGeneral;
    // Absolute paths keep the intermediate files next to the output, never in a root directory.
    file.input = fs::absolute(input).lexically_normal().string();
    file.output = fs::absolute(options.output ? *options.output
                                              : DefaultOutput(file.input, options.outputDir))
                      .lexically_normal()
                      .string();
    std::error_code error;
    if (fs::equivalent(file.input, file.output, error) || file.input == file.output) {
      file.message = "the output would replace the damaged file itself";
    } else if (written.count(file.output)) {
      file.message = "another input of this batch already wrote this output";
    } else if (fs::exists(file.output) && !options.force) {
      file.message = "the output exists: use --force to replace it";
    } else {
      const auto started = std::chrono::steady_clock::now();
      file.code = RepairWithProgress(file, sample);
      file.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      file.repaired = file.code == ORVM4A_OK;
      file.message = DescribeResult(file.code, file.mode);
      if (file.repaired) CheckOutput(file);
      written.insert(file.output);
    }
    PrintResult(file, logFile, options.json);
    results.push_back(std::move(file));
  }
  if (!options.json && results.size() > 1) PrintSummary(results, logFile);
  for (const auto& r : results) {
    if (!r.repaired) return 1;
  }
  return 0;
}

}  // namespace quillmend::tool
