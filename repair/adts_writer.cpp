#include "adts_writer.h"

#include <string>

#include "core/log_sink.h"

namespace quillmend {

std::array<std::uint8_t, kAdtsHeaderSize> MakeAdtsHeader(std::uint32_t payloadLength) {
  const std::uint32_t frameLength = (payloadLength + kAdtsHeaderSize) & 0x1FFF;
  return {
      0xFF,  // syncword
      0xF1,  // syncword, MPEG-4, layer 0, no CRC
      0x50,  // AAC LC, 44100 Hz, private bit 0, channel configuration 2 (high bit)
      static_cast<std::uint8_t>(0x80 | ((frameLength >> 11) & 0x03)),
      static_cast<std::uint8_t>((frameLength >> 3) & 0xFF),
      static_cast<std::uint8_t>(((frameLength & 0x07) << 5) | 0x1F),  // + buffer fullness 0x7FF
      0xFC,  // buffer fullness, one raw data block
  };
}

ResultCode WriteAdtsFrame(RepairContext& context, const FrameSpan& span, AppendFile& stream) {
  const MappedFile& file = *context.file;
  if (span.length > kMaxAdtsPayload) {
    // A header whose length disagrees with its payload would break every frame after it.
    LogError(">>[!] Skip a frame of %s bytes at offset %s: too long for an ADTS frame",
             std::to_string(span.length).c_str(), std::to_string(span.start).c_str());
    return kOk;
  }
  if (file.Data() == nullptr || span.start > file.Size() ||
      span.length > file.Size() - span.start) {
    LogError(">>[!] Skip a frame at offset %s: it runs past the end of the file",
             std::to_string(span.start).c_str());
    return kOk;
  }
  if (stream.Error()) return kWriteFailed;  // told once already
  const auto header = MakeAdtsHeader(span.length);
  if (stream.Write(header.data(), header.size()) < header.size()) {
    LogError(">>[!] Save adts head error");
    return kWriteFailed;
  }
  stream.Write(file.Data() + span.start, span.length);
  if (!stream.Flush()) {
    LogError(">>[!] Save adts error");
    return kWriteFailed;
  }
  return kOk;
}

}  // namespace quillmend
