#include <unistd.h>

#include <string>

#include "io/utf8.h"
#include "process.h"

namespace quillmend {

const char16_t kTranscoderToolName[] = u"ffmpeg";

std::u16string GetExecutableDirectory() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  path.resize(slash);
  return Utf8ToWide(path);
}

}  // namespace quillmend
