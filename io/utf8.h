#pragma once

#include <string>
#include <string_view>

namespace quillmend {

// UTF-8 to UTF-16. Code points above U+FFFF become surrogate pairs; a byte-order mark is
// converted like any other character. Text that is not well-formed UTF-8 (stray continuation
// bytes, overlong forms, encoded surrogates, values above U+10FFFF, a sequence cut off at the
// end) throws std::range_error("bad conversion") and yields no partial result.
std::u16string Utf8ToWide(std::string_view text);

// UTF-16 to UTF-8; an unpaired surrogate throws std::range_error("bad conversion").
std::string WideToUtf8(std::u16string_view text);

}  // namespace quillmend
