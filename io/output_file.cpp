#include "output_file.h"

#include <filesystem>

#include "native_path.h"
#include "utf8.h"

namespace quillmend {
namespace {

// Large enough that a frame and its header go out in one write, small enough to stay in cache.
inline constexpr std::size_t kGatherLimit = 64 * 1024;

}  // namespace

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
  const std::error_code error = CurrentEnv()->Remove(native);
  // A missing file or directory on the way counts as "nothing there"; other errors do not.
  if (error && error != std::errc::no_such_file_or_directory &&
      error != std::errc::not_a_directory) {
    throw std::filesystem::filesystem_error("cannot remove", native, error);
  }
}

AppendFile::AppendFile(std::string_view path) {
  error_ = CurrentEnv()->CreateExclusive(NativePath(Utf8ToWide(path)), &file_);
  if (error_) file_.reset();
}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    file_ = std::move(other.file_);
    buffer_ = std::move(other.buffer_);
    error_ = other.error_;
  }
  return *this;
}

std::size_t AppendFile::Write(const void* data, std::size_t size) {
  if (file_ == nullptr || error_) return 0;
  const auto* bytes = static_cast<const char*>(data);
  buffer_.insert(buffer_.end(), bytes, bytes + size);
  if (buffer_.size() >= kGatherLimit) Drain();
  return error_ ? 0 : size;
}

void AppendFile::Drain() {
  if (buffer_.empty() || file_ == nullptr) return;
  if (!error_) error_ = file_->Append(buffer_.data(), buffer_.size());
  buffer_.clear();
}

bool AppendFile::Flush() {
  if (file_ == nullptr) return false;
  Drain();
  if (!error_) error_ = file_->Flush();
  return !error_;
}

std::error_code AppendFile::Close() {
  if (file_ == nullptr) return error_;
  Flush();
  const std::error_code closed = file_->Close();
  if (!error_) error_ = closed;
  file_.reset();
  buffer_.clear();
  return error_;
}

}  // namespace quillmend
