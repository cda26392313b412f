#include "recordings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "test_support.h"

namespace quillmend::test {

std::uint64_t FindTopLevelBox(const std::vector<std::uint8_t>& bytes, const char* type) {
  std::uint64_t at = 0;
  while (at + 8 <= bytes.size()) {
    const std::uint64_t size =
        std::uint64_t{bytes[at]} << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
    if (std::memcmp(&bytes[at + 4], type, 4) == 0) return at;
    if (size < 8) break;
    at += size;
  }
  return 0;
}

Recording MakeRecorderLikeRecording(const std::string& path, double seconds) {
  Recording recording;
  MakeRecording(path, seconds, "-cutoff 20000");
  recording.bytes = ReadFile(path);
  for (const Packet& packet : ReadMedia(path).packets) {
    auto& b = recording.bytes;
    const auto at = static_cast<std::size_t>(packet.position);
    const int windowSequence = (b[at + 1] >> 5) & 3;
    if (b[at] == 0x21 && (windowSequence == 0 || windowSequence == 3)) b[at + 1] &= ~0x10;
    recording.frames.push_back(
        {packet.position, {b.begin() + at, b.begin() + at + packet.data.size()}});
  }
  WriteFile(path, recording.bytes);
  recording.moovOffset = FindTopLevelBox(recording.bytes, "moov");
  const std::uint64_t mdat = FindTopLevelBox(recording.bytes, "mdat");
  recording.mdatPayload = mdat + 8;
  recording.mdatEnd =
      mdat + (std::uint64_t{recording.bytes[mdat]} << 24 | recording.bytes[mdat + 1] << 16 |
              recording.bytes[mdat + 2] << 8 | recording.bytes[mdat + 3]);
  EXPECT_EQ(CountDecodeErrors(path), 0) << "the recorder-like stream must decode";
  return recording;
}

}  // namespace quillmend::test
