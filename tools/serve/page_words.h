#pragma once
// The library's messages and hints, told on the page: the person's own file names where the
// library names our copies of them, and the page's controls for what the library suggests.
#include <span>
#include <string>

#include "quillmend.h"

namespace quillmend::tool::serve {

struct UploadNames {
  std::string directory;    // the repair's directory, as the library was given its paths
  std::string damagedFile;  // our fixed names in it
  std::string sampleFile;
  std::string outputFile;
  std::string displayName;  // the name of the person's file
  std::string sampleName;   // the name of the person's healthy recording, "" without one
};

// The text with our paths and file names put as the person knows them.
std::string InPageWords(const std::string& text, const UploadNames& names);

// What to try next, naming the page's controls: built from the library's suggestions where the
// page has a control for them, else the library's hint (already in page words).
std::string PageHint(qm_code code, const std::string& hint,
                     std::span<const qm_suggestion> suggestions, const UploadNames& names);

// "44.1 kHz", "44.1 or 32 kHz", "48, 44.1 or 32 kHz".
std::string RateWords(std::span<const std::uint32_t> rates);

}  // namespace quillmend::tool::serve
