#pragma once
// A video track's samples as the walk steps over them: runs of H.264 or HEVC NAL units.
#include <memory>
#include <vector>

#include "frame_walk.h"
#include "mp4/container.h"
#include "video/nal_run.h"

namespace quillmend::exact {

class NalSamples final : public OtherSamples {
 public:
  NalSamples(video::NalCodec codec, int lengthSize) : codec_(codec), lengthSize_(lengthSize) {}
  std::uint64_t RunAt(const std::uint8_t* data, std::uint64_t size) const override;
  std::vector<std::uint64_t> RunEnds(const std::uint8_t* data, std::uint64_t size) const override;

 private:
  video::NalCodec codec_;
  int lengthSize_;
};

using OtherSamplesList = std::vector<std::shared_ptr<const OtherSamples>>;

// The video tracks a layout's index describes, or none.
OtherSamplesList VideoTracksOf(const ContainerLayout& layout);
// What a phone or camera writes when nothing says: H.264 or HEVC with 4-byte lengths.
OtherSamplesList LikelyVideo();

}  // namespace quillmend::exact
