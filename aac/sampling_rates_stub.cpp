#include "raw_data_block.h"
namespace quillmend::aac {
namespace {
constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
}
int SamplingRateFromIndex(int index) { return index >= 0 && index < 13 ? kRates[index] : 0; }
int SamplingIndexFromRate(int hz) {
  for (int i = 0; i < 13; ++i) if (kRates[i] == hz) return i;
  return -1;
}
}  // namespace quillmend::aac
