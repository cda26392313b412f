// Table-driven decoding of the AAC Huffman codes: one lookup of the next bits gives a whole
// codeword (a second, smaller lookup for the rare long ones) instead of a walk bit by bit.
#ifndef QUILLMEND_AAC_HUFFMAN_H
#define QUILLMEND_AAC_HUFFMAN_H

#include <cstdint>
#include <span>
#include <vector>

#include "aac/tables.h"

namespace quillmend::aac {

struct DecodeEntry {
  // A leaf: the bits it covers, the codeword and whatever fixed-size fields follow it (the sign
  // bits of a spectral tuple). 0 where no codeword starts with these bits, or for a link.
  std::uint8_t length;
  // A link: the number of further bits that index the second-level table at `value`.
  std::uint8_t subBits;
  // A leaf's value: the scale factor difference + 60, or the number of escape sequences that
  // follow a codebook 11 tuple.
  std::uint16_t value;
};

// One codeword of a table, with what its leaf says.
struct Leaf {
  Codeword codeword;
  std::uint8_t extraBits;
  std::uint16_t value;
};

class DecodeTable {
 public:
  DecodeTable() = default;
  DecodeTable(std::span<const Leaf> leaves, int rootBits);

  // The entry of the codeword at the top of `bits` (the next 32 bits of the stream).
  DecodeEntry Lookup(std::uint32_t bits) const {
    DecodeEntry entry = entries_[bits >> (32 - rootBits_)];
    if (entry.subBits != 0) [[unlikely]] {
      entry = entries_[entry.value + ((bits << rootBits_) >> (32 - entry.subBits))];
    }
    return entry;
  }

 private:
  std::vector<DecodeEntry> entries_;
  int rootBits_ = 0;
};

struct Codebooks {
  DecodeTable scaleFactors;
  DecodeTable spectral[12];  // by codebook number, 1 ... 11
};

// Built once, on first use, and shared by every thread.
const Codebooks& TheCodebooks();

}  // namespace quillmend::aac

#endif  // QUILLMEND_AAC_HUFFMAN_H
