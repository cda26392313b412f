#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include "serve/platform.h"

namespace quillmend::tool::serve {

std::error_code MakeOwnerOnlyDirectory(const std::filesystem::path& path) {
  // Under the user's own temporary directory, whose access list already shuts others out; the
  // new directory inherits it.
  if (!::CreateDirectoryW(path.c_str(), nullptr)) {
    return {static_cast<int>(::GetLastError()), std::system_category()};
  }
  return {};
}

bool OpenInBrowser(const std::string& url) {
  const std::wstring wide(url.begin(), url.end());  // the address is ASCII
  const auto result = reinterpret_cast<INT_PTR>(
      ::ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

}  // namespace quillmend::tool::serve
