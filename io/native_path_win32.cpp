#include "native_path.h"
#include "utf8.h"

namespace quillmend {

// Windows paths are UTF-16 already: wchar_t holds the same code units.
std::filesystem::path NativePath(std::u16string_view path) {
  return std::filesystem::path(std::wstring(path.begin(), path.end()));
}

std::string NativePathToUtf8(const std::filesystem::path& path) {
  const std::wstring& native = path.native();
  return WideToUtf8(std::u16string(native.begin(), native.end()));
}

}  // namespace quillmend
