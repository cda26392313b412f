#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "env.h"

namespace quillmend {

// The directory part of a UTF-8 output path by the platform's path grammar: the file name and
// the separators before it go, a root never does, a bare file name gives "". Throws
// std::range_error for text that is not UTF-8.
std::string OutputDirectory(std::string_view outputPath);

// directory + the platform's preferred separator + name, without looking at the directory's
// last character.
std::string JoinPath(std::string_view directory, std::string_view name);

// Removes whatever exists at the UTF-8 path, through the Env in force, without following a link;
// nothing there (or a file where a directory should be) is no error. Other failures throw
// std::filesystem::filesystem_error naming the operation and the path.
void RemoveIfExists(std::string_view path);

// A new binary file, written from its start, through the Env in force. Writes are gathered and
// reach the file at Flush (or when much has gathered). The first failure of a write, flush or
// close sticks: nothing is written after it, and Error() tells it until the object goes.
class AppendFile {
 public:
  AppendFile() = default;
  // Creates the file at the UTF-8 path; it must not exist, and a link there is not followed.
  // IsOpen() tells whether that worked, Error() why not.
  explicit AppendFile(std::string_view path);
  ~AppendFile() { Close(); }
  AppendFile(AppendFile&&) noexcept = default;
  AppendFile& operator=(AppendFile&& other) noexcept;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  bool IsOpen() const { return file_ != nullptr; }
  // `size` when the bytes were taken, 0 once the file has failed (or was never open).
  std::size_t Write(const void* data, std::size_t size);
  bool Flush();
  // Flushes and closes once; returns the first error the file met, if any.
  std::error_code Close();
  std::error_code Error() const { return error_; }

 private:
  void Drain();

  std::unique_ptr<WritableFile> file_;
  std::vector<char> buffer_;
  std::error_code error_;
};

}  // namespace quillmend
