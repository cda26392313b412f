// The length of one AAC frame (one raw_data_block) measured from its own syntax.
//
// An AAC frame in an MP4 file carries no length and no sync word: its end is wherever its last
// element's syntax ends. Reading that syntax (section data, scale factors, pulse and TNS data and
// the spectral Huffman codewords, counted but never dequantised) gives the exact length, and the
// same reading tells garbage from audio: reserved bits, band counts, codebooks and value ranges
// that no encoder writes make the frame invalid.
#ifndef QUILLMEND_AAC_RAW_DATA_BLOCK_H
#define QUILLMEND_AAC_RAW_DATA_BLOCK_H

#include <cstddef>
#include <cstdint>

namespace quillmend::aac {

// Syntax element ids of a raw_data_block.
enum ElementId : std::uint8_t {
  kSce = 0,  // single channel
  kCpe = 1,  // channel pair
  kCce = 2,  // coupling channel
  kLfe = 3,  // low-frequency channel
  kDse = 4,  // data stream
  kPce = 5,  // program config
  kFil = 6,  // fill (also carries SBR and PS extension payloads)
  kEnd = 7,
};

// The audio elements of a frame, in order, each as (id << 4 | instance tag). DSE, PCE and FIL
// are left out: encoders add them to some frames and not others, while the audio elements are
// the same in every frame of a stream.
struct ElementLayout {
  static constexpr int kMaxElements = 16;
  std::uint8_t count = 0;
  std::uint8_t elements[kMaxElements] = {};

  int Channels() const;  // SCE and LFE count one, CPE two; CCE none
  bool operator==(const ElementLayout& other) const;
};

// The audio object types whose frames this parser reads. Main adds backward-adaptive prediction
// and LTP long-term prediction to LC's tools; HE-AAC and HE-AAC v2 streams are LC frames whose
// SBR and PS data ride in fill elements.
enum ObjectType : std::uint8_t {
  kMain = 1,
  kLc = 2,
  kLtp = 4,
};

enum class FrameStatus : std::uint8_t {
  kValid,      // a whole raw_data_block up to ID_END and its byte alignment
  kTruncated,  // the syntax ran past the bytes given; more bytes may make it valid
  kInvalid,    // the bits break the syntax; no frame starts here
};

struct FrameInfo {
  FrameStatus status = FrameStatus::kInvalid;
  // kValid: the frame's length in bytes, ID_END's alignment included.
  std::uint32_t bytes = 0;
  // How far the reading got, in bits from the frame's first byte: for kInvalid, the bit at which
  // the syntax broke. A frame cut by damage reads further before it breaks than random bytes do.
  std::uint32_t bitsRead = 0;
  ElementLayout layout;
  // The highest scale factor band that any long window of the frame codes (max_sfb of its
  // widest long-window channel; 0 when every window is short or silent). Rates that share band
  // tables up to a point differ beyond it.
  std::uint8_t maxLongBand = 0;
  // The first channel's global gain, or -1. Encoders move it little from frame to frame, so a
  // jump tells a frame that damaged bytes made from one that was written.
  std::int16_t globalGain = -1;
  bool hasSbr = false;  // a FIL element carries an SBR extension payload
  // What an encoder derived from its sampling rate, where rates share band tables: the highest
  // band any short window codes; the bytes of FIL payloads (padding up to a constant bitrate);
  // the first spectral line (of 1024) of any band coded as noise, 0xFFFF for none; whether a band
  // is coded by intensity; and the temporal noise shaping of the first long window that has it:
  // its channel's max_sfb, the filter count, the first two filters' lengths in bands and orders.
  std::uint8_t maxShortBand = 0;
  std::uint16_t fillBytes = 0;
  std::uint16_t firstNoiseLine = 0xFFFF;
  bool intensity = false;
  std::uint8_t tnsMaxBand = 0;
  std::uint8_t tnsFilters = 0;
  std::uint8_t tnsLength[2] = {};
  std::uint8_t tnsOrder[2] = {};
  // Of a valid frame: an SBR payload starts with its header. Only such a payload can be read
  // through to its end, so only such a frame can say whether the stream has parametric stereo.
  bool hasSbrHeader = false;
  bool hasPs = false;  // of a valid frame: an SBR payload ends in a parametric stereo extension
  bool hasPrediction = false;  // a channel carries AAC Main's prediction data
  bool hasLtp = false;         // a channel carries long-term prediction data
};

// Sampling frequency index of an AudioSpecificConfig (0: 96000 Hz ... 12: 7350 Hz).
int SamplingRateFromIndex(int index);  // 0 for an index with no rate
int SamplingIndexFromRate(int hz);     // -1 for a rate that has no index

// Reads one raw_data_block of a stream of the given object type (LC also for the core of
// HE-AAC) at data[0..size), using the band tables of samplingIndex. A tool that the object type
// does not have makes the frame invalid. Never reads outside [data, data + size). `size` may run
// past the frame: the rest is not looked at.
FrameInfo ParseRawDataBlock(const std::uint8_t* data, std::size_t size, int samplingIndex,
                            ObjectType objectType = kLc);

}  // namespace quillmend::aac

#endif  // QUILLMEND_AAC_RAW_DATA_BLOCK_H
