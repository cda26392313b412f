#include "container.h"

#include <algorithm>
#include <cstring>

#include "box_search.h"
#include "four_cc.h"

namespace quillmend {
namespace {

constexpr FourCc kBoxMoov{{'m', 'o', 'o', 'v'}};
constexpr FourCc kBoxTrak{{'t', 'r', 'a', 'k'}};
constexpr FourCc kBoxMdia{{'m', 'd', 'i', 'a'}};
constexpr FourCc kBoxMinf{{'m', 'i', 'n', 'f'}};
constexpr FourCc kBoxStbl{{'s', 't', 'b', 'l'}};
constexpr FourCc kBoxStsd{{'s', 't', 's', 'd'}};
constexpr FourCc kBoxMp4a{{'m', 'p', '4', 'a'}};
constexpr FourCc kBoxEsds{{'e', 's', 'd', 's'}};

std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
std::uint64_t U64(const std::uint8_t* p) { return std::uint64_t(U32(p)) << 32 | U32(p + 4); }

// Box types are four printable characters; anything else is not a box header.
bool PlausibleType(const std::uint8_t* p) {
  return std::all_of(p, p + 4, [](std::uint8_t c) { return c >= 0x20 && c < 0x7f; });
}

struct Box {
  std::uint32_t type = 0;
  std::uint64_t begin = 0;    // first byte of the header
  std::uint64_t payload = 0;  // first byte after the header
  std::uint64_t end = 0;      // as claimed by the size field, which may pass the end of data
};

// The box whose header starts at `at` inside [at, limit), or false when none can.
bool ReadBox(const std::uint8_t* data, std::uint64_t at, std::uint64_t limit, Box* box) {
  if (limit < at || limit - at < 8 || !PlausibleType(data + at + 4)) return false;
  box->begin = at;
  box->type = U32(data + at + 4);
  const std::uint32_t size32 = U32(data + at);
  if (size32 == 1) {
    if (limit - at < 16) return false;
    const std::uint64_t size64 = U64(data + at + 8);
    if (size64 < 16 || size64 > ~std::uint64_t{0} - at) return false;
    box->payload = at + 16;
    box->end = at + size64;
  } else if (size32 == 0) {  // to the end of the file
    box->payload = at + 8;
    box->end = limit;
  } else {
    if (size32 < 8) return false;
    box->payload = at + 8;
    box->end = at + size32;
  }
  return true;
}

// A variable-length descriptor size of the MPEG-4 systems layer.
bool ReadDescriptor(const std::uint8_t* data, std::uint64_t& at, std::uint64_t end,
                    std::uint8_t* tag, std::uint64_t* length) {
  if (at >= end) return false;
  *tag = data[at++];
  *length = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= end) return false;
    const std::uint8_t b = data[at++];
    *length = *length << 7 | (b & 0x7f);
    if (!(b & 0x80)) return *length <= end - at;
  }
  return false;
}

// ES_Descriptor > DecoderConfigDescriptor > DecoderSpecificInfo: the AudioSpecificConfig.
std::vector<std::uint8_t> ReadEsds(const std::uint8_t* data, std::uint64_t at, std::uint64_t end) {
  at += 4;  // version and flags
  std::uint8_t tag;
  std::uint64_t length;
  if (!ReadDescriptor(data, at, end, &tag, &length) || tag != 0x03 || end - at < 3) return {};
  end = at + length;
  const std::uint8_t flags = data[at + 2];
  at += 3;
  if (flags & 0x80) at += 2;                           // depends on another stream
  if ((flags & 0x40) && at < end) at += 1 + data[at];  // URL
  if (flags & 0x20) at += 2;                           // OCR stream
  if (at > end || !ReadDescriptor(data, at, end, &tag, &length) || tag != 0x04 || length < 13) {
    return {};
  }
  end = at + length;
  if (data[at] != 0x40) return {};  // object type: MPEG-4 audio
  at += 13;
  if (!ReadDescriptor(data, at, end, &tag, &length) || tag != 0x05 || length == 0) return {};
  return {data + at, data + at + length};
}

struct MoovInfo {
  std::vector<std::uint8_t> audioConfig;
  std::uint64_t samples = 0;
};

void ReadMoov(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end, MoovInfo* info,
              int depth = 0) {
  Box box;
  for (std::uint64_t at = begin; depth < 8 && ReadBox(data, at, end, &box) && box.end <= end;
       at = box.end) {
    const std::uint32_t t = box.type;
    if (t == kBoxTrak.Value() || t == kBoxMdia.Value() || t == kBoxMinf.Value() ||
        t == kBoxStbl.Value()) {
      if (t == kBoxTrak.Value() && !info->audioConfig.empty()) return;  // the first track wins
      ReadMoov(data, box.payload, box.end, info, depth + 1);
    } else if (t == kBoxStsd.Value() && box.end - box.payload >= 8) {
      ReadMoov(data, box.payload + 8, box.end, info, depth + 1);
    } else if (t == kBoxMp4a.Value() && box.end - box.payload >= 28) {
      // A QuickTime sound description of version 1 or 2 is longer by 16 or 36 bytes.
      const std::uint16_t version = std::uint16_t(data[box.payload + 8] << 8 | data[box.payload + 9]);
      const std::uint64_t extra = version == 1 ? 16 : version == 2 ? 36 : 0;
      if (box.end - box.payload >= 28 + extra) {
        ReadMoov(data, box.payload + 28 + extra, box.end, info, depth + 1);
      }
    } else if (t == kBoxEsds.Value() && info->audioConfig.empty()) {
      info->audioConfig = ReadEsds(data, box.payload, box.end);
    } else if (t == kBoxStsz.Value() && box.end - box.payload >= 12 && info->samples == 0) {
      info->samples = U32(data + box.payload + 8);
    }
  }
}

void TakeMoov(const std::uint8_t* data, const Box& box, std::uint64_t size, ContainerLayout* c) {
  if (c->moov || box.end > size) return;
  MoovInfo info;
  ReadMoov(data, box.payload, box.end, &info);
  if (info.audioConfig.empty()) return;
  c->moov = true;
  c->audioConfig = std::move(info.audioConfig);
  c->indexedFrames = info.samples;
}

// The mdat whose type bytes stand at `typeAt`, if the size before them makes sense.
bool MdatAt(const std::uint8_t* data, std::uint64_t size, std::uint64_t typeAt, Box* box) {
  return typeAt >= 4 && ReadBox(data, typeAt - 4, size, box) && box->type == kBoxMdat.Value();
}

void AddMedia(const Box& box, std::uint64_t size, ContainerLayout* c) {
  c->mdatFound = true;
  if (box.end > size) c->mdatCut = true;
  const std::uint64_t end = std::min(box.end, size);
  if (end > box.payload) c->media.push_back({box.payload, end, true});
}

}  // namespace

ContainerLayout ReadContainer(const std::uint8_t* data, std::uint64_t size) {
  ContainerLayout c;
  if (data == nullptr) return c;
  Box box;
  std::uint64_t at = 0;
  bool first = true;
  while (ReadBox(data, at, size, &box)) {
    if (first && box.type == kBoxFtyp.Value() && box.end - box.payload >= 4 && box.end <= size) {
      c.brand.assign(reinterpret_cast<const char*>(data + box.payload), 4);
    }
    first = false;
    if (box.type == kBoxMdat.Value()) {
      AddMedia(box, size, &c);
    } else if (box.type == kBoxMoov.Value()) {
      TakeMoov(data, box, size, &c);
    }
    if (box.end >= size) {
      at = size;
      break;
    }
    at = box.end;
  }
  if (at >= size) return c;

  // The walk met bytes that are no box: a wiped header, or damage between boxes. Boxes behind
  // them are found by their type bytes; what none of them claims may still hold audio.
  const std::uint64_t walkedTo = at;
  std::uint64_t covered = walkedTo;
  // Each type's next occurrence is searched for once, not again on every step: a file full of
  // one type's bytes must not cost a pass per occurrence of the other.
  const auto next = [&](const char* type, std::uint64_t from) -> std::uint64_t {
    if (from + 4 > size) return size;
    const std::uint8_t* hit =
        FindBytes(data + from, size - from, reinterpret_cast<const std::uint8_t*>(type), 4);
    return hit != nullptr ? static_cast<std::uint64_t>(hit - data) : size;
  };
  std::uint64_t mdatAt = next("mdat", walkedTo);
  std::uint64_t moovAt = next("moov", walkedTo);
  for (std::uint64_t p = walkedTo; p + 4 <= size;) {
    if (mdatAt < p) mdatAt = next("mdat", p);
    if (moovAt < p) moovAt = next("moov", p);
    if (moovAt < mdatAt) {
      const std::uint64_t typeAt = moovAt;
      p = typeAt + 4;
      if (typeAt >= 4 && ReadBox(data, typeAt - 4, size, &box) && box.type == kBoxMoov.Value() &&
          box.begin >= covered) {
        TakeMoov(data, box, size, &c);
        if (box.end <= size) {
          if (box.begin > covered) c.media.push_back({covered, box.begin, false});
          covered = box.end;
          p = box.end;
        }
      }
      continue;
    }
    if (mdatAt >= size) break;
    const std::uint64_t typeAt = mdatAt;
    p = typeAt + 4;
    if (MdatAt(data, size, typeAt, &box) && box.begin >= covered) {
      // Bytes between the damaged boxes and this mdat belong to nothing we know; a wiped mdat
      // header in front of audio looks just like that, so they are searched too.
      if (box.begin > covered) c.media.push_back({covered, box.begin, false});
      AddMedia(box, size, &c);
      covered = std::min(box.end, size);
      p = std::max(p, covered);
    }
  }
  if (covered < size) c.media.push_back({covered, size, false});
  return c;
}

}  // namespace quillmend

namespace quillmend {

ContainerLayout ReadHeader(const std::uint8_t* data, std::uint64_t size, std::uint64_t) {
  return ReadContainer(data, size);
}

}  // namespace quillmend
