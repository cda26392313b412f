#include "words.h"

#include <cstdio>

namespace quillmend {

std::string Hz(std::uint32_t rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%g kHz", rate / 1000.0);
  return text;
}

std::string RateList(const std::vector<std::uint32_t>& rates) {
  std::string text;
  for (std::size_t i = 0; i < rates.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "%g", rates[i] / 1000.0);
    text += (i == 0 ? "" : i + 1 == rates.size() ? " or " : ", ") + std::string(number);
  }
  return text.empty() ? text : text + " kHz";
}

std::string SecondsText(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", s);
  return text;
}

std::string ChannelWords(std::uint32_t channels) {
  return channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels";
}

}  // namespace quillmend
