#include "native_path.h"
#include "output_file.h"
#include "utf8.h"

namespace quillmend {

AppendFile::AppendFile(std::string_view path) {
  const std::filesystem::path native = NativePath(Utf8ToWide(path));
  stream_ = std::fopen(native.c_str(), "abe");  // 'e': close-on-exec, not left to the transcoder
}

}  // namespace quillmend
