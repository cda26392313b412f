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

// Each user has a temporary directory of their own, which others cannot enter.
bool OwnedByMe(const std::filesystem::path&) { return true; }

bool OpenInBrowser(const std::string& url) {
  const std::wstring wide(url.begin(), url.end());  // the address is ASCII
  const auto result = reinterpret_cast<INT_PTR>(
      ::ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

std::error_code LockFile::Hold(const std::filesystem::path& path) {
  Release();
  // Shared with nobody: while it is held, no one else can open it.
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return {static_cast<int>(::GetLastError()), std::system_category()};
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return {};
}

void LockFile::Release() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

bool LockFile::Abandoned(const std::filesystem::path& path) {
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

}  // namespace quillmend::tool::serve
