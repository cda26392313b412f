#pragma once

#include <type_traits>

#include "VxLogSDK.h"

namespace quillmend {

inline constexpr char kModuleTag[] = "Quillmend_sdk";
inline constexpr int kLevelInfo = 1;
inline constexpr int kLevelError = 3;

// Every line goes through the logging library with the module tag. Formats use only %s and %d,
// so the arguments are restricted to C strings and 32-bit integers at compile time.
template <typename... Args>
void Log(int level, const char* format, Args... args) {
  static_assert(((std::is_same_v<Args, const char*> || std::is_same_v<Args, char*> ||
                  std::is_same_v<Args, int>)&&...),
                "log lines take only %s (C string) and %d (int) arguments");
  // The formats are the library's own constants, checked above; through the template the
  // compiler no longer sees them as literals.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  LogEx(kModuleTag, level, format, args...);
#pragma GCC diagnostic pop
}

template <typename... Args>
void LogInfo(const char* format, Args... args) {
  Log(kLevelInfo, format, args...);
}

template <typename... Args>
void LogError(const char* format, Args... args) {
  Log(kLevelError, format, args...);
}

}  // namespace quillmend
