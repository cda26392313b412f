#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace quillmend {

// The directory part of a UTF-8 output path by the platform's path grammar: the file name and
// the separators before it go, a root never does, a bare file name gives "". Throws
// std::range_error for text that is not UTF-8.
std::string OutputDirectory(std::string_view outputPath);

// directory + the platform's preferred separator + name, without looking at the directory's
// last character.
std::string JoinPath(std::string_view directory, std::string_view name);

// Removes whatever exists at the UTF-8 path; nothing there is no error. Other failures throw
// std::filesystem::filesystem_error naming the operation ("exists" or "remove") and the path.
void RemoveIfExists(std::string_view path);

// A binary file opened for appending, closed when the owner is done with it.
class AppendFile {
 public:
  AppendFile() = default;
  // Opens the UTF-8 path in mode "ab"; IsOpen() tells whether that worked.
  explicit AppendFile(std::string_view path);
  ~AppendFile() { Close(); }
  AppendFile(AppendFile&& other) noexcept : stream_(other.stream_) { other.stream_ = nullptr; }
  AppendFile& operator=(AppendFile&& other) noexcept;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  bool IsOpen() const { return stream_ != nullptr; }
  std::size_t Write(const void* data, std::size_t size) {
    return stream_ != nullptr ? std::fwrite(data, 1, size, stream_) : 0;
  }
  bool Flush() { return stream_ != nullptr && std::fflush(stream_) == 0; }
  void Close();

 private:
  std::FILE* stream_ = nullptr;
};

}  // namespace quillmend
