#pragma once

#include <cstdint>

namespace quillmend {

// A box type or brand: four 8-bit characters, compared byte for byte.
struct FourCc {
  char bytes[4];
  constexpr std::uint32_t Value() const {
    return std::uint32_t(std::uint8_t(bytes[0])) << 24 |
           std::uint32_t(std::uint8_t(bytes[1])) << 16 |
           std::uint32_t(std::uint8_t(bytes[2])) << 8 | std::uint32_t(std::uint8_t(bytes[3]));
  }
};

inline constexpr FourCc kBoxFtyp{{'f', 't', 'y', 'p'}};
inline constexpr FourCc kBoxMdat{{'m', 'd', 'a', 't'}};
inline constexpr FourCc kBoxStco{{'s', 't', 'c', 'o'}};
inline constexpr FourCc kBoxStsc{{'s', 't', 's', 'c'}};
inline constexpr FourCc kBoxStsz{{'s', 't', 's', 'z'}};
inline constexpr FourCc kBrandM4a{{'M', '4', 'A', ' '}};

static_assert(kBoxFtyp.Value() == 0x66747970);
static_assert(kBrandM4a.Value() == 0x4D344120);

}  // namespace quillmend
