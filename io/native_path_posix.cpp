#include "native_path.h"
#include "utf8.h"

namespace quillmend {

// POSIX paths are byte strings; the library's paths are UTF-8 ones.
std::filesystem::path NativePath(std::u16string_view path) {
  return std::filesystem::path(WideToUtf8(path));
}

std::string NativePathToUtf8(const std::filesystem::path& path) { return path.native(); }

}  // namespace quillmend
