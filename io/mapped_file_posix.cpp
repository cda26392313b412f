#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mapped_file.h"
#include "native_path.h"
#include "utf8.h"

namespace quillmend {

void MappedFile::OpenPlatform() {
  data_ = nullptr;
  view_ = nullptr;
  fileHandle_ = kNoHandle;
  size_ = 0;
  cursor_ = 0;

  std::string native;
  try {
    native = NativePath(path_).native();
  } catch (...) {
    return;  // not representable as a path: nothing can be opened
  }

  struct stat status {};
  if (::stat(native.c_str(), &status) == 0) size_ = static_cast<std::uint64_t>(status.st_size);

  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer that may never
  // come, and a device might wait for its medium. A regular file ignores the flag.
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return;
  fileHandle_ = fd;

  // A directory or device opens fine but is no recording; an empty file cannot be mapped.
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_size <= 0) return;
  // Map exactly what fstat saw on the open file, so no read can go past the mapping even if the
  // file changed between the two queries.
  size_ = static_cast<std::uint64_t>(opened.st_size);

  void* view = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
  if (view == MAP_FAILED) return;
  view_ = view;
  data_ = static_cast<const std::uint8_t*>(view);
}

void MappedFile::ReleasePages(std::uint64_t begin, std::uint64_t end) const {
  if (view_ == nullptr) return;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t first = (begin + page - 1) / page * page;
  const std::uint64_t last = (end < size_ ? end : size_) / page * page;
  // The view is read-only and never written, so dropping its pages loses nothing: they come
  // back from the file on the next access.
  if (last > first) ::madvise(static_cast<std::uint8_t*>(view_) + first, last - first, MADV_DONTNEED);
}

bool MappedFile::IsFileAt(std::string_view utf8Path) const {
  if (fileHandle_ == kNoHandle) return false;
  const std::string native = NativePath(Utf8ToWide(utf8Path)).native();
  struct stat there {
  }, mine{};
  return ::stat(native.c_str(), &there) == 0 &&
         ::fstat(static_cast<int>(fileHandle_), &mine) == 0 && there.st_dev == mine.st_dev &&
         there.st_ino == mine.st_ino;
}

void MappedFile::ClosePlatform() {
  if (view_ != nullptr) ::munmap(view_, size_);
  // POSIX has no separate mapping object; mappingHandle_ stays unused here.
  // Don't retry close on EINTR: the descriptor is released either way.
  if (fileHandle_ != kNoHandle) ::close(static_cast<int>(fileHandle_));
}

}  // namespace quillmend
