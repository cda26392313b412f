#include "aac/huffman.h"

#include <algorithm>

namespace quillmend::aac {
namespace {

// Nine or ten bits hold nearly every codeword that audio uses; the tables stay small enough for
// the first-level cache.
constexpr int kScaleFactorRootBits = 9;
constexpr int kSpectralRootBits = 10;

// The number of values of a tuple of each spectral codebook, the base its index is written in,
// and whether its values carry their signs in sign bits after the codeword.
struct BookShape {
  int dimension;
  int base;
  bool unsignedValues;
};
constexpr BookShape kBookShapes[12] = {
    {0, 0, false}, {4, 3, false}, {4, 3, false}, {4, 3, true},  {4, 3, true},  {2, 9, false},
    {2, 9, false}, {2, 8, true},  {2, 8, true},  {2, 13, true}, {2, 13, true}, {2, 17, true},
};
constexpr int kEscapeValue = 16;  // of codebook 11

DecodeTable SpectralTable(int book) {
  const BookShape shape = kBookShapes[book];
  const std::span<const Codeword> codes = SpectralCodes(book);
  std::vector<Leaf> leaves;
  for (std::size_t index = 0; index < codes.size(); ++index) {
    int signs = 0, escapes = 0;
    for (int i = 0, rest = static_cast<int>(index); i < shape.dimension; ++i, rest /= shape.base) {
      const int value = rest % shape.base;
      if (shape.unsignedValues && value != 0) ++signs;
      if (book == 11 && value == kEscapeValue) ++escapes;
    }
    leaves.push_back(
        {codes[index], static_cast<std::uint8_t>(signs), static_cast<std::uint16_t>(escapes)});
  }
  return DecodeTable(leaves, kSpectralRootBits);
}

DecodeTable ScaleFactorTable() {
  const std::span<const Codeword> codes = ScaleFactorCodes();
  std::vector<Leaf> leaves;
  for (std::size_t index = 0; index < codes.size(); ++index) {
    leaves.push_back({codes[index], 0, static_cast<std::uint16_t>(index)});
  }
  return DecodeTable(leaves, kScaleFactorRootBits);
}

}  // namespace

DecodeTable::DecodeTable(std::span<const Leaf> leaves, int rootBits) : rootBits_(rootBits) {
  const std::size_t rootSize = std::size_t{1} << rootBits;
  entries_.assign(rootSize, DecodeEntry{0, 0, 0});
  // Codewords longer than the root share a second-level table per root prefix, as wide as the
  // longest of them needs; the shorter ones fill every entry their bits leave open.
  std::vector<int> subBits(rootSize, 0);
  for (const Leaf& leaf : leaves) {
    const int extra = leaf.codeword.length - rootBits;
    if (extra > 0) {
      int& bits = subBits[leaf.codeword.code >> extra];
      bits = std::max(bits, extra);
    }
  }
  for (std::size_t prefix = 0; prefix < rootSize; ++prefix) {
    if (subBits[prefix] == 0) continue;
    entries_[prefix] = {0, static_cast<std::uint8_t>(subBits[prefix]),
                        static_cast<std::uint16_t>(entries_.size())};
    entries_.resize(entries_.size() + (std::size_t{1} << subBits[prefix]), DecodeEntry{0, 0, 0});
  }
  for (const Leaf& leaf : leaves) {
    const int length = leaf.codeword.length;
    const DecodeEntry entry{static_cast<std::uint8_t>(length + leaf.extraBits), 0, leaf.value};
    std::size_t first, count;
    if (length <= rootBits) {
      first = std::size_t{leaf.codeword.code} << (rootBits - length);
      count = std::size_t{1} << (rootBits - length);
    } else {
      const int extra = length - rootBits;
      const std::uint32_t prefix = leaf.codeword.code >> extra;
      const int tableBits = subBits[prefix];
      const std::uint32_t rest = leaf.codeword.code & ((1u << extra) - 1);
      first = entries_[prefix].value + (std::size_t{rest} << (tableBits - extra));
      count = std::size_t{1} << (tableBits - extra);
    }
    std::fill_n(entries_.begin() + static_cast<std::ptrdiff_t>(first), count, entry);
  }
}

const Codebooks& TheCodebooks() {
  static const Codebooks books = [] {
    Codebooks built;
    built.scaleFactors = ScaleFactorTable();
    for (int book = 1; book <= 11; ++book) built.spectral[book] = SpectralTable(book);
    return built;
  }();
  return books;
}

}  // namespace quillmend::aac
