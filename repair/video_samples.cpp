#include "video_samples.h"

#include "mp4/four_cc.h"

namespace quillmend::exact {
namespace {

constexpr int kUsualLengthSize = 4;

}  // namespace

std::uint64_t NalSamples::RunAt(const std::uint8_t* data, std::uint64_t size) const {
  // A chunk of samples holds pictures; a run of parameter sets alone is no evidence of one.
  const video::NalRun run = video::ReadNalRun(data, size, codec_, lengthSize_);
  return run.hasPicture ? run.bytes : 0;
}

std::vector<std::uint64_t> NalSamples::RunEnds(const std::uint8_t* data, std::uint64_t size) const {
  return video::NalRunEnds(data, size, codec_, lengthSize_);
}

OtherSamplesList VideoTracksOf(const ContainerLayout& layout) {
  OtherSamplesList out;
  for (const Track& t : layout.tracks) {
    const std::uint32_t f = t.entry.format;
    const int length = t.entry.nalLengthSize != 0 ? t.entry.nalLengthSize : kUsualLengthSize;
    if (f == kBoxAvc1.Value() || f == kBoxAvc3.Value()) {
      out.push_back(std::make_shared<NalSamples>(video::NalCodec::kH264, length));
    } else if (f == kBoxHvc1.Value() || f == kBoxHev1.Value()) {
      out.push_back(std::make_shared<NalSamples>(video::NalCodec::kHevc, length));
    }
  }
  return out;
}

OtherSamplesList LikelyVideo() {
  return {std::make_shared<NalSamples>(video::NalCodec::kH264, kUsualLengthSize),
          std::make_shared<NalSamples>(video::NalCodec::kHevc, kUsualLengthSize)};
}

}  // namespace quillmend::exact
