#include "box_reader.h"

#include <algorithm>

namespace quillmend {

bool BufferReader::ReadUnsigned(int width, std::uint64_t* value) {
  if (width < 1 || width > 8 || !HasBytes(std::uint64_t(width))) return false;
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = v << 8 | data_[at_ + std::uint64_t(i)];
  at_ += std::uint64_t(width);
  *value = v;
  return true;
}

bool BufferReader::Read1(std::uint8_t* value) {
  std::uint64_t v;
  if (!ReadUnsigned(1, &v)) return false;
  *value = std::uint8_t(v);
  return true;
}

bool BufferReader::Read2(std::uint16_t* value) {
  std::uint64_t v;
  if (!ReadUnsigned(2, &v)) return false;
  *value = std::uint16_t(v);
  return true;
}

bool BufferReader::Read3(std::uint32_t* value) {
  std::uint64_t v;
  if (!ReadUnsigned(3, &v)) return false;
  *value = std::uint32_t(v);
  return true;
}

bool BufferReader::Read4(std::uint32_t* value) {
  std::uint64_t v;
  if (!ReadUnsigned(4, &v)) return false;
  *value = std::uint32_t(v);
  return true;
}

bool BufferReader::Read8(std::uint64_t* value) { return ReadUnsigned(8, value); }

bool BufferReader::ReadBytes(std::uint64_t count, std::vector<std::uint8_t>* bytes) {
  if (!HasBytes(count)) return false;
  bytes->assign(data_ + at_, data_ + at_ + count);
  at_ += count;
  return true;
}

bool BufferReader::Skip(std::uint64_t count) {
  if (!HasBytes(count)) return false;
  at_ += count;
  return true;
}

bool BufferReader::ReadVersionAndFlags(std::uint8_t* version, std::uint32_t* flags) {
  if (!HasBytes(4)) return false;
  return Read1(version) && Read3(flags);
}

bool BufferReader::Split(std::uint64_t count, BufferReader* part) {
  if (!HasBytes(count)) return false;
  *part = BufferReader(data_, at_, at_ + count);
  at_ += count;
  return true;
}

bool PlausibleType(std::uint32_t type) {
  for (int shift = 0; shift < 32; shift += 8) {
    const std::uint32_t c = type >> shift & 0xFF;
    if (c < 0x20 || c >= 0x7F) return false;
  }
  return true;
}

bool ReadBoxHeader(BufferReader* reader, BoxHeader* box) {
  BufferReader r = *reader;
  const std::uint64_t begin = r.Offset();
  std::uint32_t size32 = 0, type = 0;
  if (!r.Read4(&size32) || !r.Read4(&type) || !PlausibleType(type)) return false;
  std::uint64_t end = 0;
  if (size32 == 1) {
    std::uint64_t size64 = 0;
    if (!r.Read8(&size64) || size64 < 16 || size64 > ~std::uint64_t{0} - begin) return false;
    end = begin + size64;
  } else if (size32 == 0) {
    end = r.End();
  } else if (size32 < 8) {
    return false;
  } else {
    end = begin + size32;
  }
  *box = {type, begin, r.Offset(), end};
  *reader = r;
  return true;
}

bool BoxChildren::Next(BoxHeader* box, BufferReader* payload) {
  if (done_) return false;
  stoppedAt_ = reader_.Offset();
  BoxHeader header;
  if (!ReadBoxHeader(&reader_, &header)) {
    done_ = true;
    // A terminator: up to four zero bytes, or an empty box of type zero.
    const std::uint64_t left = reader_.Remaining();
    const std::uint8_t* p = reader_.Data() + reader_.Offset();
    whole_ = (left <= 4 && std::all_of(p, p + left, [](std::uint8_t b) { return b == 0; })) ||
             (left == 8 && std::all_of(p + 4, p + 8, [](std::uint8_t b) { return b == 0; }) &&
              (p[3] == 8 || p[3] == 0) && p[0] == 0 && p[1] == 0 && p[2] == 0);
    if (whole_) reach_ = reader_.End();
    return false;
  }
  *box = header;
  if (header.end > reader_.End()) {
    done_ = true;
    reach_ = reader_.End();
    *payload = BufferReader(reader_.Data(), header.payload, reader_.End());
    return true;
  }
  reach_ = header.end;
  *payload = BufferReader(reader_.Data(), header.payload, header.end);
  reader_ = BufferReader(reader_.Data(), header.end, reader_.End());
  return true;
}

}  // namespace quillmend
