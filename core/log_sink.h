#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "VxLogSDK.h"
#include "result_codes.h"

namespace quillmend {

inline constexpr char kModuleTag[] = "Quillmend_sdk";
inline constexpr int kLevelInfo = 1;
inline constexpr int kLevelError = 3;

// Text for a log line with its control characters written out as "<0A>" (and the C1 controls
// and the Unicode line and paragraph separators as "<U+0085>"): a file name can hold a line
// break, and it must not start a line of its own. No backslashes, which Windows paths are
// full of.
std::string EscapeForLog(std::string_view text);

namespace detail {
inline int ForLog(int value) { return value; }
inline std::string ForLog(const char* text) { return EscapeForLog(text != nullptr ? text : ""); }
inline int Pass(int value, int) { return value; }
inline const char* Pass(const std::string& text, int) { return text.c_str(); }

template <typename... Escaped>
void Write(int level, const char* format, const Escaped&... escaped) {
  // The formats are the library's own constants, checked by Log; through the template the
  // compiler no longer sees them as literals.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  LogEx(kModuleTag, level, format, Pass(escaped, 0)...);
#pragma GCC diagnostic pop
}
}  // namespace detail

// Every line goes through the logging library with the module tag. Formats use only %s and %d,
// so the arguments are restricted to C strings and 32-bit integers at compile time; every
// string is escaped.
template <typename... Args>
void Log(int level, const char* format, Args... args) {
  static_assert(((std::is_same_v<Args, const char*> || std::is_same_v<Args, char*> ||
                  std::is_same_v<Args, int>)&&...),
                "log lines take only %s (C string) and %d (int) arguments");
  detail::Write(level, format, detail::ForLog(args)...);
}

template <typename... Args>
void LogInfo(const char* format, Args... args) {
  Log(kLevelInfo, format, args...);
}

template <typename... Args>
void LogError(const char* format, Args... args) {
  Log(kLevelError, format, args...);
}

// A stage that ends because its caller asked it to stop logs this once and returns kCancelled.
inline ResultCode LogStopped() {
  LogError(">>[!] The repair was stopped on request");
  return kCancelled;
}

}  // namespace quillmend
