#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <array>
#include <cwchar>
#include <string>

#include "process.h"

namespace quillmend {

const char16_t kTranscoderToolName[] = u"ffmpeg.exe";

std::u16string GetExecutableDirectory() {
  // MAX_PATH units in a zeroed array one longer: a longer path comes back cut off, and then the
  // tool is not found beside it.
  std::array<wchar_t, MAX_PATH + 1> buffer{};
  if (::GetModuleFileNameW(nullptr, buffer.data(), MAX_PATH) == 0) return {};
  const std::wstring path(buffer.data(), std::wcslen(buffer.data()));
  const std::size_t backslash = path.rfind(L'\\');
  if (backslash == std::wstring::npos) return {};
  return std::u16string(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(backslash));
}

ProcessOutcome RunHidden(std::u16string_view toolPath, std::u16string_view parameters) {
  // The whole tool path in quotes, so a directory with blanks in it is one name.
  std::wstring file = L"\"";
  file.append(toolPath.begin(), toolPath.end());
  file += L'"';
  const std::wstring text(parameters.begin(), parameters.end());

  SHELLEXECUTEINFOW launch{};
  launch.cbSize = sizeof launch;
  launch.fMask = SEE_MASK_NOCLOSEPROCESS;
  launch.hwnd = nullptr;
  launch.lpVerb = nullptr;
  launch.lpFile = file.c_str();
  launch.lpParameters = text.c_str();
  launch.lpDirectory = nullptr;
  launch.nShow = SW_HIDE;
  if (!::ShellExecuteExW(&launch)) return {};

  ProcessOutcome outcome{true, 0};
  // No process handle comes back when the shell handed the file to a running program; there is
  // nothing of ours to wait for then.
  if (launch.hProcess != nullptr) {
    ::WaitForSingleObject(launch.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(launch.hProcess, &code)) outcome.exitCode = static_cast<int>(code);
    ::CloseHandle(launch.hProcess);
  }
  return outcome;
}

}  // namespace quillmend
