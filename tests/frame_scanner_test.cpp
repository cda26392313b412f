#include "mp4/frame_scanner.h"

#include <random>

#include "mp4/frame_heads.h"
#include "support/context.h"

namespace quillmend {
namespace {

using test::Bytes;

struct Scan {
  ResultCode result;
  std::uint32_t start, length;
  std::uint64_t cursor;
  bool operator==(const Scan&) const = default;
};

void PrintTo(const Scan& s, std::ostream* os) {
  *os << "{" << s.result << ", " << s.start << ", " << s.length << ", cursor " << s.cursor << "}";
}

enum Mode { kMarker, kProfile, kWholeFile };

struct Scanned : test::ContextOver {
  explicit Scanned(const Bytes& bytes) : ContextOver(bytes) { SetDefaultFrameHeads(context); }
  // One scanner call from `from` (the cursor), to `end` for the range scanner.
  Scan Call(Mode mode, std::uint64_t from, std::uint32_t end = 0, FrameSpan span = {}) {
    context.file->Seek(from, kSeekSet);
    const ResultCode r = mode == kWholeFile ? FindFrameInFile(context, *context.file, span)
                                            : FindFrameInRange(context, span, std::uint32_t(from),
                                                               end, mode == kProfile);
    return {r, span.start, span.length, context.file->Cursor()};
  }
};

struct Case {
  Bytes bytes;
  Mode mode;
  std::uint64_t from;
  std::uint32_t end;
  FrameSpan span;
  Scan expected;
};

const Bytes kTwoHeads{0x21, 0x0C, 0xAA, 0xBB, 0x21, 0x2C, 0xCC};
const Bytes kMarkers{0x01, 0x05, 0x14, 0xAA, 0x01, 0x00, 0x14,
                     0x01, 0x05, 0x15, 0x01, 0x07, 0x14, 0xBB};
// Heads at 100 and 4195 (a frame of 4095 bytes), or at 100 and 4196 (too long for one).
const Bytes kShortEnough = Bytes{}.Fill(100, 0).U16(0x210C).Fill(4093, 0).U16(0x210C).Fill(50, 0);
const Bytes kTooLong = Bytes{}.Fill(100, 0).U16(0x210C).Fill(4094, 0).U16(0x210C).Fill(50, 0);
const Bytes kOpenAt500 =
    Bytes{}.Fill(500, 0).U16(0x216C).Fill(98, 0).U16(0x216C).Fill(98, 0).U16(0x212C).Fill(20, 0);
const Bytes kHeadAtTheEnd = Bytes{}.Fill(4, 0).U16(0x210C).Fill(6, 0).U16(0x210C);
const Bytes kHalfAtTheEnd = Bytes{}.Fill(4, 0).U16(0x210C).Fill(6, 0).U8(0x21);

const Case kCases[] = {
    {kTwoHeads, kProfile, 0, 7, {}, {kOk, 0, 4, 4}},
    {kTwoHeads, kProfile, 4, 7, {}, {kEndOfScan, 4, 0, 6}},
    {kTwoHeads, kProfile, 6, 7, {}, {kEndOfScan, 0, 0, 6}},  // nothing read
    {kTwoHeads, kProfile, 3, 3, {}, {kEndOfScan, 0, 0, 3}},
    // The counter, not the cursor, bounds the scan: the head at 4 is past the last candidate.
    {Bytes{0x21, 0x0C, 0, 0, 0x21, 0x0C, 0, 0}, kProfile, 0, 5, {}, {kEndOfScan, 0, 0, 4}},
    // A candidate may read one byte past the region end, but never past the file's.
    {Bytes{0x21, 0x0C, 0, 0x21, 0x6C}, kProfile, 0, 5, {}, {kOk, 0, 3, 3}},
    {Bytes{0x21, 0x0C, 0, 0x21}, kProfile, 0, 5, {}, {kEndOfScan, 0, 0, 4}},
    // 01 00 14 and 01 05 15 are no markers.
    {kMarkers, kMarker, 0, 14, {}, {kOk, 0, 10, 10}},
    {kMarkers, kMarker, 10, 14, {}, {kEndOfScan, 10, 0, 14}},
    // The pattern at 0 and 1: after opening at 0 the scan resumes at 2 and misses the one at 1.
    {Bytes{0x01, 0x01, 0x14, 0x14, 0, 0, 0, 0}, kMarker, 0, 8, {}, {kEndOfScan, 0, 0, 8}},
    {kShortEnough, kWholeFile, 0, 0, {}, {kOk, 100, 4095, 4197}},
    // The frame given up, the one opened at 4196 runs to two bytes before the end.
    {kTooLong, kWholeFile, 0, 0, {}, {kEndOfScan, 4196, 50, 4248}},
    {Bytes{0x21}, kWholeFile, 0, 0, {}, {kEndOfScan, 0, 0, 0}},
    {Bytes{}.Fill(10, 0).U16(0x214E).Fill(38, 0), kWholeFile, 0, 0, {}, {kEndOfScan, 10, 38, 50}},
    // A frame open at 500, the cursor one past the head that closed it before, the next at 700.
    {kOpenAt500, kWholeFile, 601, 0, {500, 0}, {kOk, 500, 200, 702}},
    // A head in the last two bytes closes a frame; the last byte alone is never a head.
    {kHeadAtTheEnd, kWholeFile, 0, 0, {}, {kOk, 4, 8, 14}},
    {kHalfAtTheEnd, kWholeFile, 0, 0, {}, {kEndOfScan, 4, 7, 13}},
};

TEST(FrameScannerTest, EdgeCases) {
  for (const Case& c : kCases) {
    Scanned scanned(c.bytes);
    EXPECT_EQ(scanned.Call(c.mode, c.from, c.end, c.span), c.expected)
        << "mode " << c.mode << " from " << c.from << " over "
        << testing::PrintToString(c.bytes.data);
  }
}

// The literal byte-at-a-time walks, through the cursor and readers, against which the fast
// scanners are checked on random data dense with heads.
ResultCode ReferenceInRange(RepairContext& context, FrameSpan& span, std::uint32_t scanStart,
                            std::uint32_t scanEnd, bool useProfile) {
  MappedFile& file = *context.file;
  bool opened = false;
  for (std::uint32_t counter = scanStart; counter < scanEnd - 1; ++counter) {
    const std::uint64_t p = file.Cursor();
    std::uint16_t candidate = 0;
    file.ReadU16(candidate, false);
    bool head = p + 1 < file.Size() && context.frameHeads->count(candidate);
    if (!useProfile) {
      head = false;
      if (p + 1 < file.Size() && (candidate >> 8) == 0x01 && (candidate & 0xFF) != 0) {
        std::uint8_t third = 0;
        file.ReadU8(third);
        head = third == 0x14 && p + 2 < file.Size();
        if (!head) file.Seek(1, kSeekBackward);
      }
    }
    if (head && opened) {
      span.length = static_cast<std::uint32_t>(p - span.start);
      file.Seek(file.Cursor() - p, kSeekBackward);
      return kOk;
    }
    if (head) span.start = static_cast<std::uint32_t>(p), opened = true;
    file.Seek(1, kSeekBackward);
  }
  return kEndOfScan;
}

ResultCode ReferenceInFile(RepairContext& context, MappedFile& file, FrameSpan& span) {
  const std::uint64_t size = file.Size();
  bool open = span.start != 0;
  for (auto counter = static_cast<std::int32_t>(file.Cursor());
       static_cast<std::uint64_t>(counter) < size - 1; ++counter) {
    const std::uint64_t p = file.Cursor();
    std::uint16_t candidate = 0;
    file.ReadU16(candidate, false);
    if (p + 1 < size && context.frameHeads->count(candidate)) {
      if (open) {
        span.length = static_cast<std::uint32_t>(p - span.start);
        if (span.length < 4096) return kOk;
        span = {static_cast<std::uint32_t>(p), 0};
        file.Seek(1, kSeekBackward);
      } else {
        span.start = static_cast<std::uint32_t>(p);
        open = true;
      }
    } else {
      file.Seek(1, kSeekBackward);
    }
  }
  if (open && size - 2 - span.start < 4096) span.length = std::uint32_t(size - 2 - span.start);
  return kEndOfScan;
}

TEST(FrameScannerTest, FastScansAgreeWithTheByteWiseWalk) {
  // Mostly heads and their bytes, so frames, restarts and adjacent heads all occur.
  static constexpr std::uint8_t kAlphabet[] = {0x21, 0x0C, 0x2C, 0x4E, 0x6C, 0x01, 0x14,
                                               0x05, 0x00, 0x21, 0x0C, 0x01, 0x14, 0x7F};
  std::mt19937 random(20261206);
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 1), filler(0, 60);
  for (int round = 0; round < 300; ++round) {
    Bytes bytes;
    for (const std::size_t size = 20 + random() % 9000; bytes.size() < size;) {
      bytes.U8(kAlphabet[pick(random)]);
      if (filler(random) == 0) bytes.Fill(filler(random) * 150, 0x33);  // long frames too
    }
    Scanned scanned(bytes);
    RepairContext& context = scanned.context;
    // Odd rounds use heads that begin with different bytes, as a learned profile may: the scan
    // cannot then jump between occurrences of one first byte.
    if (round % 2) {
      context.frameHeads =
          std::make_shared<const FrameHeadSet>(FrameHeadSet{0x210C, 0x0114, 0x2C21, 0x0C4E});
    }
    MappedFile& file = *context.file;
    // Both walks from the same cursor and span must leave the same result, span and cursor.
    const auto both = [&](FrameSpan& span, auto fast, auto slow) {
      const std::uint64_t from = file.Cursor();
      FrameSpan slowSpan = span;
      const Scan got = {fast(span), span.start, span.length, file.Cursor()};
      file.Seek(from, kSeekSet);
      const Scan expected = {slow(slowSpan), slowSpan.start, slowSpan.length, file.Cursor()};
      if (got == expected) return got.result;
      ADD_FAILURE() << "round " << round << " from " << from << testing::PrintToString(got)
                    << " instead of " << testing::PrintToString(expected);
      return kInternal;
    };
    for (bool profile : {true, false}) {
      const std::uint32_t end = std::uint32_t(bytes.size() - random() % 8);
      file.Seek(random() % 16, kSeekSet);
      for (ResultCode r = kOk; r == kOk;) {
        FrameSpan span;
        const auto start = std::uint32_t(file.Cursor());
        r = both(
            span, [&](FrameSpan& s) { return FindFrameInRange(context, s, start, end, profile); },
            [&](FrameSpan& s) { return ReferenceInRange(context, s, start, end, profile); });
      }
    }
    // The whole-file loop of the advanced repair, with frames kept open at random, as when the
    // decoder wants more.
    file.Seek(0, kSeekSet);
    FrameSpan span;
    while (both(
               span, [&](FrameSpan& s) { return FindFrameInFile(context, file, s); },
               [&](FrameSpan& s) { return ReferenceInFile(context, file, s); }) == kOk) {
      file.Seek(span.start + std::uint64_t{span.length}, kSeekSet);
      const bool keepOpen = round % 3 == 0 && span.length % 2 == 0;
      span = keepOpen ? FrameSpan{span.start, 0} : FrameSpan{};
      if (keepOpen) file.Seek(1, kSeekForward);
    }
  }
}

}  // namespace
}  // namespace quillmend
