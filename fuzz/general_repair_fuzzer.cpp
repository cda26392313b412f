// The general repair up to its remux: the verify stage (file type, every "mdat") and the frame
// extraction into an ADTS file, over any bytes given as the damaged file.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "io/output_file.h"
#include "mp4/frame_heads.h"
#include "repair/adts_writer.h"
#include "repair/frame_extraction.h"
#include "core/repair_context.h"
#include "repair/stages.h"

namespace {

using namespace quillmend;
using fuzz::Require;

bool IsDefaultHead(std::uint8_t first, std::uint8_t second) {
  const auto head = static_cast<std::uint16_t>(first << 8 | second);
  for (std::uint16_t known : kDefaultFrameHeads) {
    if (head == known) return true;
  }
  return false;
}

// The stream the remux would read: back-to-back frames, each a fixed header whose length field
// covers exactly the payload after it, each payload starting with the head that opened it.
void RequireWellFormedAdts(const std::vector<std::uint8_t>& adts) {
  std::size_t at = 0;
  while (at < adts.size()) {
    Require(adts.size() - at >= kAdtsHeaderSize, "a truncated ADTS header");
    const std::uint8_t* h = adts.data() + at;
    Require(h[0] == 0xFF && h[1] == 0xF1 && h[2] == 0x50 && (h[3] & 0xFC) == 0x80 &&
                (h[5] & 0x1F) == 0x1F && h[6] == 0xFC,
            "an ADTS header other than the fixed one");
    const std::size_t frameLength = (h[3] & 0x03) << 11 | h[4] << 3 | h[5] >> 5;
    Require(frameLength > kAdtsHeaderSize, "an ADTS frame without payload");
    Require(frameLength <= adts.size() - at, "an ADTS length field longer than its frame");
    const std::uint8_t* payload = h + kAdtsHeaderSize;
    const std::size_t payloadLength = frameLength - kAdtsHeaderSize;
    const bool profileHead =
        payloadLength >= 2 ? IsDefaultHead(payload[0], payload[1]) : payload[0] == 0x21;
    const bool markerHead =
        payloadLength >= 3 && payload[0] == 0x01 && payload[1] != 0x00 && payload[2] == 0x14;
    Require(profileHead || markerHead, "an ADTS payload that does not start with a frame head");
    at += frameLength;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::OpenQuietLog();
  const fuzz::ScratchDir& scratch = fuzz::Scratch();
  const std::string damaged = scratch.Write("damaged.m4a", data, size);
  const std::string adtsPath = scratch.Path("tmp.adts");
  RemoveIfExists(adtsPath);
  {
    RepairContext context;
    if (!fuzz::MapFuzzInput(context, damaged, size)) return 0;
    const ResultCode verified = VerifyDamagedFile(context);
    Require(verified == kOk || verified == kNotM4a || verified == kNoMediaData,
            "an undocumented verify result");
    if (verified != kOk) return 0;
    Require(context.mdatTable && !context.mdatTable->empty(), "verified without media data");

    SetDefaultFrameHeads(context);
    AppendFile stream(adtsPath);
    Require(stream.IsOpen(), "cannot open the scratch ADTS file");
    Require(ExtractFramesToAdts(context, stream) == kOk, "the extraction was aborted");
  }
  RequireWellFormedAdts(fuzz::ReadWholeFile(adtsPath));
  fuzz::RequireUnchanged(damaged, data, size);
  return 0;
}
