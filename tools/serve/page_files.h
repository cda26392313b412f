#pragma once
// The page's files, built into the program from tools/serve/page/.
#include <cstddef>

namespace quillmend::tool::serve {

struct PageFile {
  const char* name;  // "index.html"
  const unsigned char* data;
  std::size_t size;
};

extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

}  // namespace quillmend::tool::serve
