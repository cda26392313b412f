#include "audio_config.h"

#include <array>

namespace quillmend::aac {
namespace {

class BitReader {
 public:
  explicit BitReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  bool Read(int bits, std::uint32_t* value) {
    *value = 0;
    for (int i = 0; i < bits; ++i, ++at_) {
      if (at_ / 8 >= bytes_.size()) return false;
      *value = *value << 1 | ((bytes_[at_ / 8] >> (7 - at_ % 8)) & 1);
    }
    return true;
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
};

class BitWriter {
 public:
  void Put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used_ % 8 == 0) bytes_.push_back(0);
      bytes_.back() |= std::uint8_t(((value >> i) & 1) << (7 - used_ % 8));
      ++used_;
    }
  }
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t used_ = 0;
};

constexpr int kObjectLc = 2;
constexpr int kObjectSbr = 5;
constexpr int kObjectPs = 29;

bool ReadObjectType(BitReader& r, int* type) {
  std::uint32_t v;
  if (!r.Read(5, &v)) return false;
  if (v == 31) {
    if (!r.Read(6, &v)) return false;
    v += 32;
  }
  *type = int(v);
  return true;
}

bool ReadRate(BitReader& r, int* index, std::uint32_t* rate) {
  std::uint32_t v;
  if (!r.Read(4, &v)) return false;
  *index = int(v);
  if (v == 15) {  // an explicit rate, which has no band tables of its own
    if (!r.Read(24, rate)) return false;
    *index = SamplingIndexFromRate(int(*rate));
    return *index >= 0;
  }
  *rate = std::uint32_t(SamplingRateFromIndex(*index));
  return *rate != 0;
}

// The audio elements of each channel configuration, without instance tags.
constexpr std::array<std::array<std::uint8_t, 5>, 8> kConfigElements{{
    {},
    {kSce},
    {kCpe},
    {kSce, kCpe},
    {kSce, kCpe, kSce},
    {kSce, kCpe, kCpe},
    {kSce, kCpe, kCpe, kLfe},
    {kSce, kCpe, kCpe, kCpe, kLfe},
}};
constexpr std::array<int, 8> kConfigLength{0, 1, 1, 2, 3, 3, 4, 5};

}  // namespace

bool ParseAudioConfig(const std::vector<std::uint8_t>& bytes, AudioConfig* config) {
  BitReader r(bytes);
  AudioConfig c;
  std::uint32_t channels;
  if (!ReadObjectType(r, &c.objectType) || !ReadRate(r, &c.samplingIndex, &c.rate) ||
      !r.Read(4, &channels)) {
    return false;
  }
  c.channelConfig = int(channels);
  if (c.objectType == kObjectSbr || c.objectType == kObjectPs) {
    // The core runs at the rate read above; the extension's rate and the core's type follow.
    c.sbr = true;
    int extensionIndex;
    std::uint32_t extensionRate;
    if (!ReadRate(r, &extensionIndex, &extensionRate) || !ReadObjectType(r, &c.objectType)) {
      return false;
    }
  }
  if (c.objectType != kObjectLc || c.channelConfig > 7) return false;
  *config = c;
  return true;
}

int ChannelConfigFor(const ElementLayout& layout) {
  for (int config = 1; config < 8; ++config) {
    if (layout.count != kConfigLength[config]) continue;
    bool same = true;
    for (int i = 0; i < layout.count; ++i) {
      same = same && (layout.elements[i] >> 4) == kConfigElements[config][i];
    }
    if (same) return config;
  }
  return 0;
}

int ChannelsOfConfig(int channelConfig) {
  constexpr std::array<int, 8> kChannels{0, 1, 2, 3, 4, 5, 6, 8};
  return channelConfig > 0 && channelConfig < 8 ? kChannels[channelConfig] : 0;
}

std::vector<std::uint8_t> MakeAudioConfig(int samplingIndex, int channelConfig) {
  BitWriter w;
  w.Put(kObjectLc, 5);
  w.Put(std::uint32_t(samplingIndex), 4);
  w.Put(std::uint32_t(channelConfig), 4);
  w.Put(0, 3);  // frame length 1024, no core coder dependence, no extension
  return w.Take();
}

std::vector<std::uint8_t> MakeSilentFrame(const ElementLayout& layout) {
  BitWriter w;
  // An individual channel stream that codes no band: global gain, a long window with
  // max_sfb 0, no pulse, TNS or gain control data.
  const auto silentChannel = [&w] {
    w.Put(100, 8);  // global_gain: any value, no band uses it
    w.Put(0, 1);    // ics_reserved_bit
    w.Put(0, 2);    // ONLY_LONG_SEQUENCE
    w.Put(0, 1);    // window_shape
    w.Put(0, 6);    // max_sfb
    w.Put(0, 1);    // predictor_data_present
    w.Put(0, 3);    // pulse, TNS, gain control: none
  };
  for (int i = 0; i < layout.count; ++i) {
    const int id = layout.elements[i] >> 4;
    w.Put(std::uint32_t(id), 3);
    w.Put(layout.elements[i] & 0xf, 4);
    if (id == kCpe) {
      w.Put(0, 1);  // common_window: none, each channel has its own ics_info
      silentChannel();
      silentChannel();
    } else if (id == kSce || id == kLfe) {
      silentChannel();
    }
  }
  w.Put(kEnd, 3);
  return w.Take();  // the last byte's unused bits are zero: the byte alignment
}

}  // namespace quillmend::aac
