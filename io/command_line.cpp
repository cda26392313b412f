#include "command_line.h"

namespace quillmend {

std::vector<std::u16string> SplitCommandLine(std::u16string_view text) {
  std::vector<std::u16string> arguments;
  const auto isBlank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  std::size_t i = 0;
  while (true) {
    while (i < text.size() && isBlank(text[i])) ++i;
    if (i == text.size()) return arguments;

    // An argument begins here, even if its quotes leave it empty.
    std::u16string argument;
    bool quoted = false;
    while (i < text.size()) {
      std::size_t backslashes = 0;
      while (i < text.size() && text[i] == u'\\') {
        ++backslashes;
        ++i;
      }
      if (i < text.size() && text[i] == u'"') {
        argument.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          argument.push_back(u'"');  // escaped quote
        } else if (quoted && i + 1 < text.size() && text[i + 1] == u'"') {
          argument.push_back(u'"');  // "" inside quotes; quoting goes on
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
        continue;
      }
      argument.append(backslashes, u'\\');
      if (i == text.size() || (!quoted && isBlank(text[i]))) break;
      argument.push_back(text[i]);
      ++i;
    }
    arguments.push_back(std::move(argument));
  }
}

std::u16string JoinCommandLine(const std::vector<std::u16string>& arguments) {
  std::u16string text;
  for (const std::u16string& argument : arguments) {
    if (!text.empty()) text += u' ';
    text += u'"';
    std::size_t backslashes = 0;
    for (char16_t c : argument) {
      if (c == u'\\') {
        ++backslashes;
        continue;
      }
      // Backslashes before a quote are doubled, and the quote escaped with one more.
      text.append(c == u'"' ? 2 * backslashes + 1 : backslashes, u'\\');
      backslashes = 0;
      text += c;
    }
    // Before the closing quote, backslashes are doubled so that the quote still closes.
    text.append(2 * backslashes, u'\\');
    text += u'"';
  }
  return text;
}

}  // namespace quillmend
