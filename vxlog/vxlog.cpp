#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VxLogSDK.h"

namespace {

// The active file sink. Swapped under the mutex by InitLogEx; LogEx takes its own reference so a
// switch never pulls the sink away from a line that is being written.
std::mutex gSinkMutex;
std::shared_ptr<spdlog::sinks::basic_file_sink_mt> gSink;

std::shared_ptr<spdlog::sinks::basic_file_sink_mt> CurrentSink() {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  return gSink;
}

spdlog::level::level_enum ToSpdlogLevel(int level) {
  switch (level) {
    case 0:
      return spdlog::level::debug;
    case 1:
      return spdlog::level::info;
    case 2:
      return spdlog::level::warn;
    case 3:
      return spdlog::level::err;
    default:
      return level < 0 ? spdlog::level::trace : spdlog::level::critical;
  }
}

std::string Format(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return "(unformattable log line)";
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);
  std::vector<char> large(static_cast<size_t>(needed) + 1);
  std::vsnprintf(large.data(), large.size(), format, args);
  return std::string(large.data(), needed);
}

// The sink's file name from the UTF-8 path. On Windows spdlog takes it as UTF-16, so the
// directory need not fit the ANSI code page; text that is not UTF-8 throws there.
spdlog::filename_t LogFileName(const char* utf8) {
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8))).native();
}

}  // namespace

extern "C" VXLOG_API int InitLogEx(void* /*owner*/, const char* /*moduleTag*/,
                                   const char* logFilePath) {
  if (logFilePath == nullptr) return -1;
  try {
    auto sink =
        std::make_shared<spdlog::sinks::basic_file_sink_mt>(LogFileName(logFilePath), false);
    // The module tag is part of each message, so the sink's pattern carries only time and level.
    sink->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] %v");
    std::lock_guard<std::mutex> lock(gSinkMutex);
    gSink = std::move(sink);
    return 0;
  } catch (...) {
    return -1;
  }
}

extern "C" VXLOG_API int LogEx(const char* moduleTag, int level, const char* format, ...) {
  if (format == nullptr) return -1;
  auto sink = CurrentSink();
  if (!sink) return -1;
  try {
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    std::string line = std::string("[") + (moduleTag ? moduleTag : "") + "] " + text;
    spdlog::details::log_msg msg(spdlog::source_loc{}, spdlog::string_view_t{},
                                 ToSpdlogLevel(level), line);
    // A host that crashes right after this call must still find the line in the file.
    sink->log(msg);
    sink->flush();
    return 0;
  } catch (...) {
    return -1;
  }
}
