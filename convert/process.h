#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmend {

// The directory of the host process's executable file, without a trailing separator. Empty
// when the platform cannot tell.
std::u16string GetExecutableDirectory();

// File name of the transcoder tool on this platform.
extern const char16_t kTranscoderToolName[];

// How a hidden run of a program ended.
struct ProcessOutcome {
  bool started = false;  // false: no process was created, nothing ran
  int exitCode = 0;      // the program's exit code; 128 + the signal if a signal ended it
};

// Runs the program at toolPath with a command-line parameter text, hidden (no console, no
// input, output discarded), in the caller's working directory and environment, and waits
// without a time-out until it has ended.
ProcessOutcome RunHidden(std::u16string_view toolPath, std::u16string_view parameters);

// Splits a parameter text into arguments as the Windows C runtime does, so that a text built
// for that platform reaches a program elsewhere with the same arguments: blanks and tabs
// separate arguments outside double quotes; a double quote opens or closes quoting; inside
// quoting, two double quotes give one literal quote; backslashes are literal except before a
// double quote, where 2n of them give n backslashes and the quote keeps its meaning, and 2n + 1
// give n backslashes and a literal quote. No shell is involved and nothing else is special.
std::vector<std::u16string> SplitCommandLine(std::u16string_view text);

}  // namespace quillmend
