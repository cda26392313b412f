#include "serve/page_words.h"

#include <string_view>
#include <utility>

namespace quillmend::tool::serve {
namespace {

// The tool's words and the page's, longest first where one holds another. The page's controls:
// "More options" opens the healthy recording, "How to repair" and the sampling rate.
constexpr std::pair<std::string_view, std::string_view> kPhrases[] = {
    {"use the exact repair (--method exact), or --sample",
     "under More options, choose the recommended way to repair, or add a healthy recording"},
    {"give one with --sample, or use the exact repair",
     "add one under More options, or choose the recommended way to repair there"},
    {"use the exact repair (--method exact)",
     "choose the recommended way to repair under More options"},
    {"use the exact repair", "choose the recommended way to repair under More options"},
    {"try another method", "try another way to repair under More options"},
    {"leave the sample out", "remove the healthy recording under More options"},
    {"a healthy sample recording", "a healthy recording"},
    {"the sample lacks", "the healthy recording lacks"},
    {"the sample cannot", "the healthy recording cannot"},
    // The person sees no log of ours.
    {"; the log says more", ""},
};

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

}  // namespace

std::string InPageWords(const std::string& text, const UploadNames& names) {
  std::string words = text;
  // Our paths first, down to our file names, then each name in turn. The person's own name
  // comes last, so that nothing in it is taken for ours.
  for (const char* separator : {"/", "\\"}) ReplaceAll(words, names.directory + separator, "");
  ReplaceAll(words, names.directory, "the server's working folder");
  ReplaceAll(words, "the sample " + names.sampleFile, "the healthy recording");
  ReplaceAll(words, names.sampleFile, "the healthy recording");
  ReplaceAll(words, names.outputFile, "the repaired recording");
  for (const auto& [from, to] : kPhrases) ReplaceAll(words, from, to);
  ReplaceAll(words, names.damagedFile, names.displayName);
  return words;
}

}  // namespace quillmend::tool::serve
