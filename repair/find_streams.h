#pragma once
// Which audio streams a damaged file holds and how they are coded: from the caller's word, a
// healthy sample, what is left of the file's own index, a healthy recording beside it, or the
// frames themselves, strongest first.
#include <memory>
#include <vector>

#include "exact_repair.h"
#include "video_samples.h"

namespace quillmend::exact {

// A stream found: its parameters and the syntax its frames are walked with.
struct FoundStream {
  StreamParams params;
  std::shared_ptr<const FrameSyntax> syntax;
  std::vector<std::uint32_t> groupRates;  // a further stream's rates, when its frames tell it
};

struct Streams {
  Status status = Status::Failed(Status::Code::kNoAudio, "no audio was found");
  std::vector<FoundStream> found;
  // A stream whose rate nothing declared (0) has it settled after the walk, from all its
  // frames: the band tables, which the walk needs, are the same for every rate of a group.
  std::vector<std::uint32_t> groupRates;  // the rates the first stream's frames stand for
  std::uint64_t firstFrame = 0;           // where the first stream's first chain starts
  // Another track's samples that lie between the audio frames: a video's, stepped over.
  OtherSamplesList others;
};

Streams FindStreams(const std::uint8_t* data, const ContainerLayout& container,
                    const WalkOptions& options, WalkResult* result);

// Settles the rate of a stream whose frames were walked with a group's tables: a healthy
// recording beside the file of the same settings, else the frames' own evidence.
void ChooseRate(const std::uint8_t* data, std::uint64_t size, const Streams& streams,
                const WalkOptions& options, std::size_t stream, WalkResult* result);

}  // namespace quillmend::exact
