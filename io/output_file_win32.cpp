#include <stdio.h>

#include "native_path.h"
#include "output_file.h"
#include "utf8.h"

namespace quillmend {

AppendFile::AppendFile(std::string_view path) {
  const std::filesystem::path native = NativePath(Utf8ToWide(path));
  // 'N': not inherited by the transcoder's process.
  stream_ = ::_wfopen(native.c_str(), L"abN");
}

}  // namespace quillmend
