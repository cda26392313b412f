#include "output_file.h"

#include <filesystem>
#include <system_error>

#include "native_path.h"
#include "utf8.h"

namespace quillmend {

std::string OutputDirectory(std::string_view outputPath) {
  return NativePathToUtf8(NativePath(Utf8ToWide(outputPath)).parent_path());
}

std::string JoinPath(std::string_view directory, std::string_view name) {
  std::string joined(directory);
  joined += static_cast<char>(std::filesystem::path::preferred_separator);
  joined += name;
  return joined;
}

void RemoveIfExists(std::string_view path) {
  const std::filesystem::path native = NativePath(Utf8ToWide(path));
  // A missing file or directory on the way counts as "nothing there"; other errors do not.
  std::error_code error;
  const auto status = std::filesystem::symlink_status(native, error);
  if (error && error != std::errc::no_such_file_or_directory &&
      error != std::errc::not_a_directory) {
    throw std::filesystem::filesystem_error("exists", native, error);
  }
  if (!std::filesystem::exists(status)) return;
  std::filesystem::remove(native);  // throws filesystem_error("remove", ...) on failure
}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    stream_ = other.stream_;
    other.stream_ = nullptr;
  }
  return *this;
}

void AppendFile::Close() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
}

}  // namespace quillmend
