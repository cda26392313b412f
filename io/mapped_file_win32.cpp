#include <windows.h>

#include <filesystem>
#include <system_error>

#include "mapped_file.h"
#include "native_path.h"
#include "utf8.h"

namespace quillmend {
namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

void MappedFile::OpenPlatform() {
  data_ = nullptr;
  view_ = nullptr;
  fileHandle_ = kNoHandle;
  mappingHandle_ = kNoHandle;
  size_ = 0;
  cursor_ = 0;

  std::filesystem::path native;
  try {
    native = NativePath(path_);
  } catch (...) {
    return;  // not representable as a path: nothing can be opened
  }

  std::error_code error;
  const std::uintmax_t statusSize = std::filesystem::file_size(native, error);
  if (!error) size_ = statusSize;

  // Others may go on writing the file (a recorder still holding it): share both ways.
  const HANDLE file =
      ::CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  fileHandle_ = reinterpret_cast<std::intptr_t>(file);

  // A pipe or device opens fine but is no recording; an empty file cannot be mapped.
  LARGE_INTEGER opened{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &opened) ||
      opened.QuadPart <= 0) {
    return;
  }
  // Map exactly what the open handle reports, so no read can go past the view even if the file
  // changed between the two queries.
  size_ = static_cast<std::uint64_t>(opened.QuadPart);

  const HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return;
  mappingHandle_ = reinterpret_cast<std::intptr_t>(mapping);

  void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size_));
  if (view == nullptr) return;
  view_ = view;
  data_ = static_cast<const std::uint8_t*>(view);
}

void MappedFile::ReleasePages(std::uint64_t begin, std::uint64_t end) const {
  if (view_ == nullptr) return;
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  const std::uint64_t page = system.dwPageSize;
  const std::uint64_t first = (begin + page - 1) / page * page;
  const std::uint64_t last = (end < size_ ? end : size_) / page * page;
  // Unlocking pages that were never locked takes them out of the working set; that is the
  // point, so the "not locked" failure is expected and ignored. They come back from the file on
  // the next access.
  if (last > first) {
    ::VirtualUnlock(static_cast<std::uint8_t*>(view_) + first, static_cast<SIZE_T>(last - first));
  }
}

bool MappedFile::IsFileAt(std::string_view utf8Path) const {
  if (fileHandle_ == kNoHandle) return false;
  const std::filesystem::path native = NativePath(Utf8ToWide(utf8Path));
  // No access rights are needed to ask for a file's identity; directories need the backup flag.
  const HANDLE there =
      ::CreateFileW(native.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (there == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION thereInfo{}, mineInfo{};
  const bool same = ::GetFileInformationByHandle(there, &thereInfo) &&
                    ::GetFileInformationByHandle(AsHandle(fileHandle_), &mineInfo) &&
                    thereInfo.dwVolumeSerialNumber == mineInfo.dwVolumeSerialNumber &&
                    thereInfo.nFileIndexHigh == mineInfo.nFileIndexHigh &&
                    thereInfo.nFileIndexLow == mineInfo.nFileIndexLow;
  ::CloseHandle(there);
  return same;
}

void MappedFile::ClosePlatform() {
  if (view_ != nullptr) ::UnmapViewOfFile(view_);
  if (mappingHandle_ != kNoHandle) ::CloseHandle(AsHandle(mappingHandle_));
  if (fileHandle_ != kNoHandle) ::CloseHandle(AsHandle(fileHandle_));
}

}  // namespace quillmend
