#include <windows.h>

#include <cwctype>
#include <string>

#include "cancel.h"
#include "directory_lock.h"
#include "env.h"

namespace quillmend {
namespace {

// The directory's final path, as the file system resolves links and short names, upper-cased
// since names differ in case only for the eye.
bool CanonicalDirectory(const std::filesystem::path& directory, std::wstring* canonical) {
  const std::wstring target = directory.empty() ? L"\\" : directory.native();
  HANDLE handle = ::CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  std::wstring path(1024, L'\0');
  DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), DWORD(path.size()), 0);
  if (length >= path.size()) {
    path.resize(length + 1);
    length = ::GetFinalPathNameByHandleW(handle, path.data(), DWORD(path.size()), 0);
  }
  const DWORD failure = ::GetLastError();
  ::CloseHandle(handle);
  if (length == 0 || length >= path.size()) {
    ::SetLastError(failure);
    return false;
  }
  path.resize(length);
  for (wchar_t& c : path) c = static_cast<wchar_t>(std::towupper(c));
  *canonical = path;
  return true;
}

// A mutex name holds no backslash and at most MAX_PATH characters: the path goes in as a hash.
std::wstring MutexName(const std::wstring& canonical) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (wchar_t c : canonical) {
    hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
  }
  wchar_t digits[17];
  for (int i = 15; i >= 0; --i, hash >>= 4) digits[i] = L"0123456789abcdef"[hash & 0xF];
  digits[16] = L'\0';
  return std::wstring(L"Local\\quillmend-directory-") + digits;
}

}  // namespace

DirectoryLock::Outcome DirectoryLock::Acquire(const std::filesystem::path& directory,
                                              std::error_code* error) {
  Release();
  std::wstring canonical;
  if (!CanonicalDirectory(directory, &canonical)) {
    *error = LastSystemError();
    return Outcome::kFailed;
  }
  // A named mutex is owned by a thread: other threads of this process wait for it as other
  // processes do, and a holder that dies leaves it abandoned, which the next one takes.
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, MutexName(canonical).c_str());
  if (mutex == nullptr) {
    *error = LastSystemError();
    return Outcome::kFailed;
  }
  for (;;) {
    const DWORD waited = ::WaitForSingleObject(mutex, 20);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) break;
    if (waited != WAIT_TIMEOUT) {
      *error = LastSystemError();
      ::CloseHandle(mutex);
      return Outcome::kFailed;
    }
    if (ShouldStop()) {
      ::CloseHandle(mutex);
      return Outcome::kStopped;
    }
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return Outcome::kHeld;
}

void DirectoryLock::Release() {
  if (handle_ == kNone) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  handle_ = kNone;
}

}  // namespace quillmend
