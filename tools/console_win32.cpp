#include <windows.h>
// after windows.h, which it needs
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "console.h"

namespace quillmend::tool {
namespace {

std::string Utf8(const wchar_t* wide) {
  const std::u8string text = std::filesystem::path(wide).u8string();
  return {text.begin(), text.end()};
}

}  // namespace

// argv holds the arguments in the ANSI code page, where most names outside it cannot be
// written; the system keeps them as UTF-16.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

void PrepareConsole() { ::SetConsoleOutputCP(CP_UTF8); }

std::string DefaultLogDirectory() {
  const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
  return local != nullptr && *local != L'\0' ? Utf8(local) + "\\quillmend" : "";
}

bool StderrIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

}  // namespace quillmend::tool
