// The fixed tables of the AAC bitstream, as the frame parser needs them.
#ifndef QUILLMEND_AAC_TABLES_H
#define QUILLMEND_AAC_TABLES_H

#include <cstdint>
#include <span>

#include "aac/raw_data_block.h"

namespace quillmend::aac {

// Sampling frequency indexes 0 ... 12 have rates and band tables; 13 and 14 are reserved, 15
// announces an explicit rate.
inline constexpr int kSamplingIndexCount = 13;

// One Huffman codeword: its `length` low bits of `code`, first bit sent first.
struct Codeword {
  std::uint8_t length;
  std::uint32_t code;
};

// The 121 scale factor codewords, for differences -60 ... +60.
std::span<const Codeword> ScaleFactorCodes();
// The codewords of spectral codebook 1 ... 11, indexed by the value tuple (each value offset to
// be non-negative, the first value most significant, in base 3, 9, 8, 13 or 17).
std::span<const Codeword> SpectralCodes(int book);

// The SBR codebooks, each listed from its lowest difference up.
enum SbrCodebook {
  kSbrEnvelopeTime15,  // envelope levels at 1.5 dB steps, differences across time
  kSbrEnvelopeFrequency15,
  kSbrBalanceTime15,  // the balance of a coupled pair's second channel
  kSbrBalanceFrequency15,
  kSbrEnvelopeTime30,  // at 3.0 dB steps
  kSbrEnvelopeFrequency30,
  kSbrBalanceTime30,
  kSbrBalanceFrequency30,
  kSbrNoiseTime,  // noise floors across frequency use the 3.0 dB envelope codes
  kSbrNoiseBalanceTime,
  kSbrCodebookCount,
};
std::span<const Codeword> SbrCodes(int codebook);

// The offsets bs_start_freq selects at an SBR rate (twice the core's); empty at a rate SBR does
// not run at.
std::span<const std::int8_t> SbrStartOffsets(int sbrRate);

// How many long-window bands AAC Main's prediction covers at a sampling index.
int PredictionBandLimit(int samplingIndex);

// The widths of the scale factor bands of long (1024 lines) and short (128 lines) windows at a
// sampling index below kSamplingIndexCount.
std::span<const std::uint8_t> LongBandWidths(int samplingIndex);
std::span<const std::uint8_t> ShortBandWidths(int samplingIndex);

}  // namespace quillmend::aac

#endif  // QUILLMEND_AAC_TABLES_H
