// Table-driven decoding of the AAC Huffman codes: one lookup of the next bits gives a whole
// codeword (a second, smaller lookup for the rare long ones) instead of a walk bit by bit.
#ifndef QUILLMEND_AAC_HUFFMAN_H
#define QUILLMEND_AAC_HUFFMAN_H

#include <cstdint>
#include <span>
#include <vector>

#include "aac/tables.h"

namespace quillmend::aac {

// One 32-bit word, so that a lookup is one load.
struct DecodeEntry {
  // A leaf: the bits it covers, its codewords and whatever fixed-size fields follow each (the
  // sign bits of a spectral tuple). 0 where no codeword starts with these bits, or for a link.
  int Length() const { return static_cast<int>(word & 0xFF); }
  // A link: the number of further bits that index the second-level table at Value().
  int SubBits() const { return static_cast<int>((word >> 8) & 0xF); }
  // A leaf: how many codewords it covers. Short spectral codewords come several to a lookup.
  int Count() const { return static_cast<int>((word >> 12) & 0xF); }
  // A leaf's value: the scale factor difference + 60; the number of escape sequences after a
  // codebook 11 tuple; for the other spectral codebooks the length of the first tuple alone, for
  // the end of a section that holds fewer tuples than the leaf.
  int Value() const { return static_cast<int>(word >> 16); }

  static constexpr DecodeEntry Make(int length, int subBits, int count, int value) {
    return {static_cast<std::uint32_t>(length | subBits << 8 | count << 12 | value << 16)};
  }
  std::uint32_t word;
};

// One codeword of a table, with what its leaf says.
struct Leaf {
  Codeword codeword;
  std::uint8_t extraBits;
  std::uint16_t value;
};

// The first level is indexed by the next RootBits bits; a fixed width lets the compiler shift by a
// constant in the hot loop.
template <int RootBits>
class DecodeTable {
 public:
  DecodeTable() = default;
  // With combine, a first-level leaf covers every whole codeword that fits into its bits, and each
  // leaf's value is its first codeword's length.
  DecodeTable(std::span<const Leaf> leaves, bool combine);

  // The entry of the codeword at the top of `bits` (the next 32 bits of the stream).
  DecodeEntry Lookup(std::uint32_t bits) const {
    DecodeEntry entry = entries_[bits >> (32 - RootBits)];
    if (entry.SubBits() != 0) [[unlikely]] {
      entry = entries_[static_cast<std::uint32_t>(entry.Value()) +
                       ((bits << RootBits) >> (32 - entry.SubBits()))];
    }
    return entry;
  }

 private:
  std::vector<DecodeEntry> entries_;
};

// Nine or ten bits hold nearly every codeword that audio uses, and the tables stay small enough
// for the first-level cache.
using ScaleFactorTable = DecodeTable<9>;
using SpectralTable = DecodeTable<10>;

struct Codebooks {
  ScaleFactorTable scaleFactors;
  SpectralTable spectral[12];  // by codebook number, 1 ... 11
};

// Built once, on first use, and shared by every thread.
const Codebooks& TheCodebooks();

// The SBR codebooks, by SbrCodebook; only HE-AAC streams need them, so they are built apart.
struct SbrCodebooks {
  ScaleFactorTable tables[kSbrCodebookCount];
};
const SbrCodebooks& TheSbrCodebooks();

}  // namespace quillmend::aac

#endif  // QUILLMEND_AAC_HUFFMAN_H
