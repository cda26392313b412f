#include <windows.h>

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

}  // namespace quillmend
