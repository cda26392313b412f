#pragma once
// The box structure of an MP4 file as far as it survived: where the media data lies, and what
// the file's own header still says about its audio track.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillmend {

struct MediaRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  // false: bytes that no box claims (behind a wiped header, say), searched in case they hold
  // audio; what they hold before their first frame and after their last is no loss.
  bool boxed = true;
};

struct ContainerLayout {
  std::string brand;  // the ftyp's major brand; "" when the file does not start with an ftyp
  // Media data to search, [begin, end), in file order and clamped to the file.
  std::vector<MediaRange> media;
  bool mdatFound = false;  // false: no mdat box anywhere; `media` is what the boxes left over
  bool mdatCut = false;    // an mdat box claims more bytes than the file holds
  // From a moov box, when one is readable: the first AAC track's AudioSpecificConfig, the
  // number of samples its sample table lists and where its first chunk starts.
  bool moov = false;
  std::vector<std::uint8_t> audioConfig;
  std::uint64_t indexedFrames = 0;
};

// Walks the top-level boxes from the start; where the walk meets bytes that are no box (a wiped
// header, a cut), it looks for mdat and moov boxes by their type bytes instead. Never reads
// outside [data, data + size).
ContainerLayout ReadContainer(const std::uint8_t* data, std::uint64_t size);

}  // namespace quillmend
