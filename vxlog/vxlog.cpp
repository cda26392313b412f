#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "VxLogSDK.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

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

// The sink's file name: UTF-8 as given, or on Windows its UTF-16 form, so that no directory
// name has to survive the ANSI code page.
spdlog::filename_t LogFileName(const char* utf8) {
#ifdef _WIN32
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (length <= 0) throw std::runtime_error("log path is not UTF-8");
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), length);
  wide.pop_back();  // the terminating zero
  return wide;
#else
  return utf8;
#endif
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
