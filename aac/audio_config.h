#pragma once
// The AudioSpecificConfig: the few bytes of an MP4 file's header that tell a decoder how the
// frames are coded.
#include <cstdint>
#include <vector>

#include "raw_data_block.h"

namespace quillmend::aac {

struct AudioConfig {
  int objectType = 0;      // 2: AAC LC; the core's type when SBR is signalled
  int samplingIndex = -1;  // the core's band tables
  std::uint32_t rate = 0;  // the core's rate in Hz
  int channelConfig = 0;   // 0: a program config element describes the channels
  bool sbr = false;        // explicitly signalled SBR (HE-AAC) or PS
};

// Reads the leading fields; false when they are not an AAC configuration we can repair.
bool ParseAudioConfig(const std::vector<std::uint8_t>& bytes, AudioConfig* config);

// The channel configuration that describes a frame layout (1 to 7), or 0 when none does.
int ChannelConfigFor(const ElementLayout& layout);

// Channels of a channel configuration (0 for 0 or an unknown one).
int ChannelsOfConfig(int channelConfig);

// A two-byte AAC LC AudioSpecificConfig.
std::vector<std::uint8_t> MakeAudioConfig(int samplingIndex, int channelConfig);

// One frame of silence with this layout: every channel codes no band.
std::vector<std::uint8_t> MakeSilentFrame(const ElementLayout& layout);

}  // namespace quillmend::aac
