#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmend {

enum SeekMode : std::uint32_t {
  kSeekSet = 0,       // cursor := amount
  kSeekBackward = 1,  // toward the start of the file
  kSeekForward = 2,   // toward its end
};

// A read-only memory-mapped view of a whole input file with one read cursor. Opening never
// reports an error: the owner tests Data() for null and Size() for 0. Inputs are never written.
class MappedFile {
 public:
  // Opens and maps the file read-only.
  explicit MappedFile(std::u16string path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Releases the view, the handles and the path. Owners call it once; calling it again, or
  // letting the destructor run afterwards, releases nothing twice.
  void Close();

  const std::uint8_t* Data() const { return data_; }
  std::uint64_t Size() const { return size_; }
  std::uint64_t Cursor() const { return cursor_; }
  const std::u16string& Path() const { return path_; }

  // Moves the cursor. Backward and forward moves that would leave the 64-bit range do not move
  // it and return 0; an unknown mode returns 0.
  std::uint64_t Seek(std::uint64_t amount, std::uint32_t mode);

  // Lets the system take the view's pages before offset out of this process's resident memory:
  // the repairs read their inputs front to back once, and a long recording would otherwise stay
  // resident in full. The bytes stay readable; a later read maps them in again.
  void ReleasePagesBefore(std::uint64_t offset) const { ReleasePages(0, offset); }
  // The same for the whole pages inside [begin, end): for walks that run on several fronts.
  void ReleasePages(std::uint64_t begin, std::uint64_t end) const;

  // Whether the UTF-8 path names the file this object mapped, by any name or link. False when
  // nothing is mapped or nothing is there. Throws std::range_error for a path that is not UTF-8.
  bool IsFileAt(std::string_view utf8Path) const;

  // Big-endian readers that advance the cursor by their width. A byte at or beyond Size()
  // reads as 0 without touching memory outside the view, and the read then returns false.
  bool ReadU8(std::uint8_t& out);
  bool ReadU16(std::uint16_t& out, bool swap);
  bool ReadU32(std::uint32_t& out, bool swap);

 private:
  void OpenPlatform();
  void ClosePlatform();
  // The byte at cursor + index, or 0 (and inside := false) when it lies outside the view.
  std::uint8_t ByteAt(std::uint64_t index, bool& inside) const;

  const std::uint8_t* data_ = nullptr;
  std::u16string path_;
  // Platform handles; kNoHandle records "not acquired" so Close releases only what Open got.
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t fileHandle_ = kNoHandle;
  std::intptr_t mappingHandle_ = kNoHandle;
  void* view_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t cursor_ = 0;
};

// Releases the pages of a front-to-back walk over a mapped file in steps, and all of them when
// the walk ends, so that resident memory stays bounded whatever the size of the file.
class PageReleaser {
 public:
  explicit PageReleaser(const MappedFile& file) : file_(file) {}
  ~PageReleaser() { file_.ReleasePagesBefore(file_.Size()); }
  PageReleaser(const PageReleaser&) = delete;
  PageReleaser& operator=(const PageReleaser&) = delete;
  // The walk will not read before offset again.
  void Passed(std::uint64_t offset) {
    if (offset >= released_ + kStep) {
      released_ = offset;
      file_.ReleasePagesBefore(offset);
    }
  }

 private:
  static constexpr std::uint64_t kStep = std::uint64_t{8} << 20;
  const MappedFile& file_;
  std::uint64_t released_ = 0;
};

}  // namespace quillmend
