#pragma once
// Bounds-checked reading of MP4 boxes. Every read says whether it succeeded and moves nothing
// when it did not; no read ever leaves the bytes a reader was given. Offsets are those of the
// whole buffer (the file), so that whatever is read can be located in it.
#include <cstdint>
#include <vector>

namespace quillmend {

// A cursor over data[begin, end).
class BufferReader {
 public:
  BufferReader() = default;
  BufferReader(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end)
      : data_(data), at_(begin), end_(end < begin ? begin : end) {}

  const std::uint8_t* Data() const { return data_; }
  std::uint64_t Offset() const { return at_; }
  std::uint64_t End() const { return end_; }
  std::uint64_t Remaining() const { return end_ - at_; }
  bool HasBytes(std::uint64_t count) const { return count <= end_ - at_; }

  [[nodiscard]] bool Read1(std::uint8_t* value);
  [[nodiscard]] bool Read2(std::uint16_t* value);
  [[nodiscard]] bool Read3(std::uint32_t* value);
  [[nodiscard]] bool Read4(std::uint32_t* value);
  [[nodiscard]] bool Read8(std::uint64_t* value);
  // An unsigned integer of `width` bytes (1 to 8).
  [[nodiscard]] bool ReadUnsigned(int width, std::uint64_t* value);
  [[nodiscard]] bool ReadBytes(std::uint64_t count, std::vector<std::uint8_t>* bytes);
  [[nodiscard]] bool Skip(std::uint64_t count);
  // A full box's version and 24-bit flags.
  [[nodiscard]] bool ReadVersionAndFlags(std::uint8_t* version, std::uint32_t* flags);
  // The next `count` bytes as a reader of their own; this one moves past them.
  [[nodiscard]] bool Split(std::uint64_t count, BufferReader* part);
  // The bytes from the cursor to the end, which stay where they are.
  BufferReader Rest() const { return BufferReader(data_, at_, end_); }

 private:
  const std::uint8_t* data_ = nullptr;
  std::uint64_t at_ = 0;
  std::uint64_t end_ = 0;
};

struct BoxHeader {
  std::uint32_t type = 0;
  std::uint64_t begin = 0;    // the header's first byte
  std::uint64_t payload = 0;  // the first byte after the header
  std::uint64_t end = 0;      // as the size field claims: it may lie past the bytes at hand
};

// Box types are four printable characters; anything else is not a box header.
bool PlausibleType(std::uint32_t type);

// Reads the header of a box at the reader's position and moves past the header (not the box).
// False, moving nothing, where no box can start: fewer bytes than a header, a type that is not
// four printable characters, a size smaller than the header. A size of 0 claims everything up to
// the reader's end.
[[nodiscard]] bool ReadBoxHeader(BufferReader* reader, BoxHeader* box);

// The boxes that tile a parent's payload, one after another. A child that claims more bytes
// than the parent holds is still given, its payload cut at the parent's end, and is the last.
class BoxChildren {
 public:
  explicit BoxChildren(const BufferReader& payload)
      : reader_(payload), stoppedAt_(payload.Offset()), reach_(payload.Offset()) {}

  // The next child and a reader over its payload as far as the parent holds it; false at the
  // parent's end and where its bytes stop being boxes.
  [[nodiscard]] bool Next(BoxHeader* box, BufferReader* payload);

  // After Next returned false: whether the children filled the parent to its end, no child cut.
  // A terminator at the end (QuickTime closes some lists with four zero bytes or an empty box
  // of type zero) counts as filled.
  bool Whole() const { return whole_; }
  // Where the children stopped being boxes, or the cut child began.
  std::uint64_t StoppedAt() const { return stoppedAt_; }
  // The end of what read as boxes: the parent's end when they filled it or the last was cut.
  std::uint64_t Reach() const { return reach_; }

 private:
  BufferReader reader_;
  bool done_ = false;
  bool whole_ = false;
  std::uint64_t stoppedAt_ = 0;
  std::uint64_t reach_ = 0;
};

}  // namespace quillmend
