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
  bool Skip(std::size_t bits) {
    at_ += bits;
    return at_ <= bytes_.size() * 8;
  }
  bool AlignToByte() { return Skip((8 - at_ % 8) % 8); }
  std::size_t BitsLeft() const { return at_ <= bytes_.size() * 8 ? bytes_.size() * 8 - at_ : 0; }

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

constexpr int kObjectSbr = 5;
constexpr int kObjectPs = 29;
constexpr int kObjectEscape = 31;
constexpr int kExplicitRate = 15;  // the sampling index that announces a 24-bit rate
// The backward-compatible extension after the core's configuration: a sync word, the extension's
// object type and its fields, and for PS a second sync word.
constexpr std::uint32_t kSyncExtension = 0x2b7;
constexpr std::uint32_t kSyncPs = 0x548;

bool ReadObjectType(BitReader& r, int* type) {
  std::uint32_t v;
  if (!r.Read(5, &v)) return false;
  if (v == kObjectEscape) {
    if (!r.Read(6, &v)) return false;
    v += 32;
  }
  *type = int(v);
  return true;
}

// A rate by its index or, after index 15, as 24 bits.
bool ReadRate(BitReader& r, int* index, std::uint32_t* rate) {
  std::uint32_t v;
  if (!r.Read(4, &v)) return false;
  *index = int(v);
  if (v == kExplicitRate) {
    if (!r.Read(24, rate)) return false;
    *index = SamplingIndexFromRate(int(*rate));
    return *rate != 0;
  }
  *rate = std::uint32_t(SamplingRateFromIndex(*index));
  return *rate != 0;
}

void PutRate(BitWriter& w, std::uint32_t rate) {
  const int index = SamplingIndexFromRate(int(rate));
  if (index >= 0) {
    w.Put(std::uint32_t(index), 4);
  } else {
    w.Put(kExplicitRate, 4);
    w.Put(rate, 24);
  }
}

// A program config element, as the configuration carries it when no channel configuration
// describes the channels: read past, so that an extension after it can be found.
bool SkipProgramConfig(BitReader& r) {
  std::uint32_t front, side, back, lfe, data, coupling, flag, comment;
  if (!r.Skip(4 + 2 + 4) || !r.Read(4, &front) || !r.Read(4, &side) || !r.Read(4, &back) ||
      !r.Read(2, &lfe) || !r.Read(3, &data) || !r.Read(4, &coupling)) {
    return false;
  }
  for (const int mixdownBits : {4, 4, 3}) {  // mono, stereo and matrix mixdown
    if (!r.Read(1, &flag) || (flag != 0 && !r.Skip(std::size_t(mixdownBits)))) return false;
  }
  const std::size_t elements = 5 * (front + side + back) + 4 * (lfe + data) + 5 * coupling;
  return r.Skip(elements) && r.AlignToByte() && r.Read(8, &comment) && r.Skip(8 * comment);
}

// GASpecificConfig of Main, LC and LTP.
bool SkipCoreConfig(BitReader& r, int channelConfig) {
  std::uint32_t frameLength, dependsOnCore, extension;
  if (!r.Read(1, &frameLength) || !r.Read(1, &dependsOnCore)) return false;
  // 960-sample frames have band tables of their own, which no recorder uses.
  if (frameLength != 0) return false;
  if (dependsOnCore != 0 && !r.Skip(14)) return false;  // core_coder_delay
  if (!r.Read(1, &extension)) return false;
  if (channelConfig == 0 && !SkipProgramConfig(r)) return false;
  return extension == 0 || r.Skip(1);  // extensionFlag3
}

// The backward-compatible signalling of SBR and PS, if the configuration carries it. An
// extension cut short says nothing: the core's configuration before it stands.
void ReadSyncExtension(BitReader& r, AudioConfig* c) {
  std::uint32_t sync, present;
  int type, index;
  if (r.BitsLeft() < 16 || !r.Read(11, &sync) || sync != kSyncExtension ||
      !ReadObjectType(r, &type) || type != kObjectSbr || !r.Read(1, &present) || present == 0 ||
      !ReadRate(r, &index, &c->extensionRate)) {
    c->extensionRate = 0;
    return;
  }
  c->sbr = true;
  if (r.BitsLeft() >= 12 && r.Read(11, &sync) && sync == kSyncPs && r.Read(1, &present)) {
    c->ps = present != 0;
  }
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
  int type;
  std::uint32_t channels;
  if (!ReadObjectType(r, &type) || !ReadRate(r, &c.samplingIndex, &c.rate) ||
      !r.Read(4, &channels)) {
    return false;
  }
  c.channelConfig = int(channels);
  if (type == kObjectSbr || type == kObjectPs) {
    // The core runs at the rate read above; the output rate and the core's type follow.
    c.sbr = true;
    c.ps = type == kObjectPs;
    int extensionIndex;
    if (!ReadRate(r, &extensionIndex, &c.extensionRate) || !ReadObjectType(r, &type)) {
      return false;
    }
  }
  if ((type != kMain && type != kLc && type != kLtp) || c.samplingIndex < 0 ||
      c.channelConfig > 7) {
    return false;
  }
  c.objectType = ObjectType(type);
  if (!SkipCoreConfig(r, c.channelConfig)) return false;
  if (!c.sbr) ReadSyncExtension(r, &c);
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

std::vector<std::uint8_t> MakeAudioConfig(const AudioConfig& config) {
  BitWriter w;
  w.Put(config.sbr ? (config.ps ? kObjectPs : kObjectSbr) : config.objectType, 5);
  w.Put(std::uint32_t(config.samplingIndex), 4);
  w.Put(std::uint32_t(config.channelConfig), 4);
  if (config.sbr) {
    const std::uint32_t core = std::uint32_t(SamplingRateFromIndex(config.samplingIndex));
    PutRate(w, config.extensionRate != 0 ? config.extensionRate : 2 * core);
    w.Put(config.objectType, 5);
  }
  w.Put(0, 3);  // frame length 1024, no core coder dependence, no extension
  return w.Take();
}

std::vector<std::uint8_t> MakeAudioConfig(int samplingIndex, int channelConfig) {
  AudioConfig config;
  config.samplingIndex = samplingIndex;
  config.channelConfig = channelConfig;
  return MakeAudioConfig(config);
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
