#pragma once
// Numbers as a person reads them, for the library's messages.
#include <cstdint>
#include <string>
#include <vector>

namespace quillmend {

std::string Hz(std::uint32_t rate);                             // "44.1 kHz"
std::string RateList(const std::vector<std::uint32_t>& rates);  // "48, 44.1 or 32 kHz"
std::string SecondsText(double seconds);                        // "12.3 s"
std::string ChannelWords(std::uint32_t channels);               // "mono", "stereo", "6 channels"

}  // namespace quillmend
