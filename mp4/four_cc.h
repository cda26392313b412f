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

// Whether a box type read from a file is this one.
constexpr bool Is(std::uint32_t type, const FourCc& code) { return type == code.Value(); }

inline constexpr FourCc kBoxFtyp{{'f', 't', 'y', 'p'}};
inline constexpr FourCc kBoxMdat{{'m', 'd', 'a', 't'}};
inline constexpr FourCc kBoxStco{{'s', 't', 'c', 'o'}};
inline constexpr FourCc kBoxStsc{{'s', 't', 's', 'c'}};
inline constexpr FourCc kBoxStsz{{'s', 't', 's', 'z'}};
inline constexpr FourCc kBrandM4a{{'M', '4', 'A', ' '}};

// Top level.
inline constexpr FourCc kBoxFree{{'f', 'r', 'e', 'e'}};
inline constexpr FourCc kBoxSkip{{'s', 'k', 'i', 'p'}};
inline constexpr FourCc kBoxWide{{'w', 'i', 'd', 'e'}};
inline constexpr FourCc kBoxMoov{{'m', 'o', 'o', 'v'}};
inline constexpr FourCc kBoxMoof{{'m', 'o', 'o', 'f'}};

// The index: moov > trak > mdia > minf > stbl, and the fragments' defaults.
inline constexpr FourCc kBoxTrak{{'t', 'r', 'a', 'k'}};
inline constexpr FourCc kBoxTkhd{{'t', 'k', 'h', 'd'}};
inline constexpr FourCc kBoxMdia{{'m', 'd', 'i', 'a'}};
inline constexpr FourCc kBoxMdhd{{'m', 'd', 'h', 'd'}};
inline constexpr FourCc kBoxHdlr{{'h', 'd', 'l', 'r'}};
inline constexpr FourCc kBoxMinf{{'m', 'i', 'n', 'f'}};
inline constexpr FourCc kBoxStbl{{'s', 't', 'b', 'l'}};
inline constexpr FourCc kBoxStsd{{'s', 't', 's', 'd'}};
inline constexpr FourCc kBoxCo64{{'c', 'o', '6', '4'}};
inline constexpr FourCc kBoxStz2{{'s', 't', 'z', '2'}};
inline constexpr FourCc kBoxMvex{{'m', 'v', 'e', 'x'}};
inline constexpr FourCc kBoxTrex{{'t', 'r', 'e', 'x'}};

// Sample entries and what they hold.
inline constexpr FourCc kBoxMp4a{{'m', 'p', '4', 'a'}};
inline constexpr FourCc kBoxAlac{{'a', 'l', 'a', 'c'}};
inline constexpr FourCc kBoxAvc1{{'a', 'v', 'c', '1'}};
inline constexpr FourCc kBoxAvc3{{'a', 'v', 'c', '3'}};
inline constexpr FourCc kBoxHvc1{{'h', 'v', 'c', '1'}};
inline constexpr FourCc kBoxHev1{{'h', 'e', 'v', '1'}};
inline constexpr FourCc kBoxEsds{{'e', 's', 'd', 's'}};
inline constexpr FourCc kBoxWave{{'w', 'a', 'v', 'e'}};
inline constexpr FourCc kBoxFrma{{'f', 'r', 'm', 'a'}};
inline constexpr FourCc kBoxAvcC{{'a', 'v', 'c', 'C'}};
inline constexpr FourCc kBoxHvcC{{'h', 'v', 'c', 'C'}};

// Fragments: moof > traf > tfhd, trun.
inline constexpr FourCc kBoxMfhd{{'m', 'f', 'h', 'd'}};
inline constexpr FourCc kBoxTraf{{'t', 'r', 'a', 'f'}};
inline constexpr FourCc kBoxTfhd{{'t', 'f', 'h', 'd'}};
inline constexpr FourCc kBoxTrun{{'t', 'r', 'u', 'n'}};

// Handler types.
inline constexpr FourCc kHandlerSound{{'s', 'o', 'u', 'n'}};
inline constexpr FourCc kHandlerVideo{{'v', 'i', 'd', 'e'}};

static_assert(kBoxFtyp.Value() == 0x66747970);
static_assert(kBrandM4a.Value() == 0x4D344120);

}  // namespace quillmend
