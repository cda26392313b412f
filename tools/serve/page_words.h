#pragma once
// The library's messages and hints, told on the page: the person's own file name where the
// library names our copy of it, "the healthy recording" for the sample, and the page's controls
// where the library names the tool's options.
#include <string>

namespace quillmend::tool::serve {

struct UploadNames {
  std::string directory;    // the repair's directory, as the library was given its paths
  std::string damagedFile;  // our fixed names in it
  std::string sampleFile;
  std::string outputFile;
  std::string displayName;  // the name of the person's file
};

std::string InPageWords(const std::string& text, const UploadNames& names);

}  // namespace quillmend::tool::serve
