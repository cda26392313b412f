#pragma once
// The AudioSpecificConfig: the few bytes of an MP4 file's header that tell a decoder how the
// frames are coded.
#include <cstdint>
#include <vector>

#include "raw_data_block.h"

namespace quillmend::aac {

struct AudioConfig {
  ObjectType objectType = kLc;  // the frames' own: also the core's type under SBR
  int samplingIndex = -1;       // the core's band tables
  std::uint32_t rate = 0;       // the core's rate in Hz
  int channelConfig = 0;        // 0: a program config element describes the channels
  // SBR (HE-AAC) and PS (HE-AAC v2), signalled either way: by the SBR or PS object type with the
  // core's after it, or by an extension after the core's configuration that older decoders skip.
  bool sbr = false;
  bool ps = false;
  std::uint32_t extensionRate = 0;  // with SBR, the output rate in Hz; 0 without
  bool operator==(const AudioConfig&) const = default;
};

// Reads an AudioSpecificConfig; false when it is not an AAC configuration whose frames we read.
bool ParseAudioConfig(const std::vector<std::uint8_t>& bytes, AudioConfig* config);

// The channel configuration that describes a frame layout (1 to 7), or 0 when none does.
int ChannelConfigFor(const ElementLayout& layout);

// An AudioSpecificConfig for `config`'s object type, core rate and channels; with SBR, signalled
// explicitly (the SBR or PS object type first, then the output rate, twice the core's unless
// extensionRate says otherwise), so that players run SBR and report the full rate.
std::vector<std::uint8_t> MakeAudioConfig(const AudioConfig& config);
// A two-byte AAC LC AudioSpecificConfig.
std::vector<std::uint8_t> MakeAudioConfig(int samplingIndex, int channelConfig);

// One frame of silence with this layout: every channel codes no band.
std::vector<std::uint8_t> MakeSilentFrame(const ElementLayout& layout);

}  // namespace quillmend::aac
