#include "aac/huffman.h"

#include <algorithm>

namespace quillmend::aac {
namespace {

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

SpectralTable MakeSpectralTable(int book) {
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
  return SpectralTable(leaves, book != 11);
}

// A table whose leaves give each codeword's index in `codes`.
ScaleFactorTable MakeIndexTable(std::span<const Codeword> codes) {
  std::vector<Leaf> leaves;
  for (std::size_t index = 0; index < codes.size(); ++index) {
    leaves.push_back({codes[index], 0, static_cast<std::uint16_t>(index)});
  }
  return ScaleFactorTable(leaves, false);
}

}  // namespace

template <int RootBits>
DecodeTable<RootBits>::DecodeTable(std::span<const Leaf> leaves, bool combine) {
  constexpr int rootBits = RootBits;
  const std::size_t rootSize = std::size_t{1} << rootBits;
  entries_.assign(rootSize, DecodeEntry{0});
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
    entries_[prefix] = DecodeEntry::Make(0, subBits[prefix], 0, static_cast<int>(entries_.size()));
    entries_.resize(entries_.size() + (std::size_t{1} << subBits[prefix]), DecodeEntry{0});
  }
  for (const Leaf& leaf : leaves) {
    const int length = leaf.codeword.length;
    const int bits = length + leaf.extraBits;
    const DecodeEntry entry = DecodeEntry::Make(bits, 0, 1, combine ? bits : leaf.value);
    std::size_t first, count;
    if (length <= rootBits) {
      first = std::size_t{leaf.codeword.code} << (rootBits - length);
      count = std::size_t{1} << (rootBits - length);
    } else {
      const int extra = length - rootBits;
      const std::uint32_t prefix = leaf.codeword.code >> extra;
      const int tableBits = subBits[prefix];
      const std::uint32_t rest = leaf.codeword.code & ((1u << extra) - 1);
      first = static_cast<std::size_t>(entries_[prefix].Value()) +
              (std::size_t{rest} << (tableBits - extra));
      count = std::size_t{1} << (tableBits - extra);
    }
    std::fill_n(entries_.begin() + static_cast<std::ptrdiff_t>(first), count, entry);
  }
  if (!combine) return;
  // Each first-level entry takes the codewords after its first one as long as they end within
  // its bits; those bits decide them, whatever follows.
  const std::vector<DecodeEntry> single(entries_.begin(), entries_.begin() + rootSize);
  for (std::size_t index = 0; index < rootSize; ++index) {
    const DecodeEntry first = entries_[index];
    if (first.Length() == 0 || first.Length() >= rootBits) continue;
    int used = first.Length(), count = 1;
    for (; count < 15; ++count) {
      const DecodeEntry next = single[(index << used) & (rootSize - 1)];
      if (next.Length() == 0 || used + next.Length() > rootBits) break;
      used += next.Length();
    }
    entries_[index] = DecodeEntry::Make(used, 0, count, first.Value());
  }
}

template class DecodeTable<9>;
template class DecodeTable<10>;

const Codebooks& TheCodebooks() {
  static const Codebooks books = [] {
    Codebooks built;
    built.scaleFactors = MakeIndexTable(ScaleFactorCodes());
    for (int book = 1; book <= 11; ++book) built.spectral[book] = MakeSpectralTable(book);
    return built;
  }();
  return books;
}

const SbrCodebooks& TheSbrCodebooks() {
  static const SbrCodebooks books = [] {
    SbrCodebooks built;
    for (int book = 0; book < kSbrCodebookCount; ++book) {
      built.tables[book] = MakeIndexTable(SbrCodes(book));
    }
    return built;
  }();
  return books;
}

}  // namespace quillmend::aac
