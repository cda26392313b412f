// The SBR payload that HE-AAC carries in fill elements, read far enough to see whether it holds
// parametric stereo (HE-AAC v2).
//
// The frame's length never depends on this reading: a fill element states its own length. What
// the payload holds does: parametric stereo is an extension at the end of the SBR data, after
// envelopes and noise floors whose codeword counts follow from the frequency bands that the SBR
// header sets up. So the payload is read codeword by codeword, never dequantised, and only in
// frames that carry a header: without one, nothing says how many bands the data has.
#ifndef QUILLMEND_AAC_SBR_H
#define QUILLMEND_AAC_SBR_H

#include <cstdint>

#include "aac/bit_reader.h"

namespace quillmend::aac {

// The header fields that decide the bands.
struct SbrHeader {
  int ampRes = 0;  // 1: envelopes at 3.0 dB steps, 0: at 1.5 dB
  int startFreq = 0;
  int stopFreq = 0;
  int xoverBand = 0;
  int freqScale = 2;
  int alterScale = 1;
  int noiseBands = 2;
};

// How many values each envelope and noise floor of a frame codes.
struct SbrBands {
  int high = 0;   // envelope bands at high frequency resolution
  int low = 0;    // at low frequency resolution
  int noise = 0;  // noise floor bands
};

// The bands a header sets up at an SBR rate (twice the core's); false for a header that a decoder
// refuses there, and for a rate SBR does not run at.
bool SbrBandsFor(const SbrHeader& header, int sbrRate, SbrBands* bands);

struct SbrPayload {
  bool header = false;  // the payload starts with an SBR header, whole within it
  bool ps = false;      // its data ends in a parametric stereo extension
};

// Reads the SBR payload of a fill element from `reader`'s position (just after the extension
// type) up to bit `end`: the data of a single channel or channel pair element, as `elementId`
// (the audio element before the fill element) says, at the core's sampling index. The payload
// counts as holding parametric stereo only when it reads through to that extension within `end`.
SbrPayload ReadSbrPayload(BitReader reader, std::uint32_t end, bool crc, int elementId,
                          int samplingIndex);

}  // namespace quillmend::aac

#endif  // QUILLMEND_AAC_SBR_H
