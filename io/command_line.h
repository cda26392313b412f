#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmend {

// Splits a parameter text into arguments as the Windows C runtime does, so that a text built
// for that platform reaches a program elsewhere with the same arguments: blanks and tabs
// separate arguments outside double quotes; a double quote opens or closes quoting; inside
// quoting, two double quotes give one literal quote; backslashes are literal except before a
// double quote, where 2n of them give n backslashes and the quote keeps its meaning, and 2n + 1
// give n backslashes and a literal quote. No shell is involved and nothing else is special.
std::vector<std::u16string> SplitCommandLine(std::u16string_view text);

// The arguments as one parameter text that SplitCommandLine turns back into them.
std::u16string JoinCommandLine(const std::vector<std::u16string>& arguments);

}  // namespace quillmend
