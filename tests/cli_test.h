#pragma once
#include <set>

#include "support/support.h"

namespace quillmend::test {

inline const std::string kCli = U8(fs::u8path(ProgramDirectory()) / QUILLMEND_CLI_NAME);

// The names in a directory; none when it does not exist.
inline std::set<std::string> List(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code missing;
  for (const auto& e : fs::directory_iterator(dir, missing)) names.insert(U8(e.path().filename()));
  return names;
}

}  // namespace quillmend::test
