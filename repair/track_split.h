#pragma once
// Several sound tracks of one setting (a screen recording's microphone and system sound) read
// alike frame by frame: the walk finds their frames as one stream. They are told apart by an
// index that says which chunk is whose: the file's own, or a healthy recording's from the same
// program, whose chunks lie in the same order. Without either they are never written as one:
// a mix of two tracks switches between them all the time.
#include <cstdint>
#include <optional>
#include <vector>

#include "core/frame_syntax.h"
#include "frame_walk.h"
#include "mp4/container.h"

namespace quillmend::exact {

// One cycle of the order in which a recorder lays its tracks' chunks down: (track, frames).
struct ChunkPattern {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> chunks;
  std::uint32_t tracks = 0;
  std::uint32_t Frames() const;
};

// The sound tracks of a layout that share one setting (their indexes in layout.tracks), when
// there are two or more of them.
std::vector<std::size_t> SameSettingTracks(const ContainerLayout& layout);

// The order of the chunks of `tracks` in a layout whose tables were read whole: the chunks of
// its whole length, or the shortest cycle that repeats through them.
std::optional<ChunkPattern> PatternOf(const ContainerLayout& layout,
                                      const std::vector<std::size_t>& tracks);

// Tells, for each frame of stream `stream` in order, the track (0, 1, ... of `tracks`) whose
// chunk of the file's own index holds it; false when the index does not cover every frame.
bool SplitByIndex(const ContainerLayout& layout, const std::vector<std::size_t>& tracks,
                  std::uint8_t stream, const std::vector<FrameRef>& frames,
                  std::vector<std::uint8_t>* tracksOf);

// Tells, for each frame of stream `stream` in order, its track by the pattern, from the first
// frame of the media on; after each damaged stretch, the place in the pattern is found again
// by the phase under which each track's frames follow on best.
void SplitByPattern(const std::uint8_t* data, const FrameSyntax& syntax,
                    const ChunkPattern& pattern, std::uint8_t stream,
                    const std::vector<Stretch>& damage, const std::vector<FrameRef>& frames,
                    std::vector<std::uint8_t>* tracksOf);

// Whether the tracks a pattern gave each frame of a stream follow on within themselves at least
// as well as the stream's frames do one after another: a sample of several tracks given for a
// file that holds one would cut it into pieces that do not.
bool SplitHolds(const std::uint8_t* data, const FrameSyntax& syntax,
                const std::vector<FrameRef>& frames, const std::vector<std::uint8_t>& tracksOf);

// Whether the frames of one stream read as the frames of two tracks laid one by one in turn,
// as FFmpeg's muxer and the screen recorders built on it lay tracks of one setting: each frame
// follows on from the frame two before it, not from its neighbour. Tracks laid in longer
// chunks cannot be told from content that repeats itself, and are not looked for.
bool LooksInterleaved(const std::uint8_t* data, const FrameSyntax& syntax,
                      const std::vector<FrameRef>& frames);

}  // namespace quillmend::exact
