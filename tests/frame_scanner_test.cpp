#include "mp4/frame_scanner.h"

#include <gtest/gtest.h>

#include <random>

#include "mp4/frame_heads.h"
#include "support/context_fixture.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::ContextOver;

struct Scan {
  ResultCode result;
  std::uint32_t start, length;
  std::uint64_t cursor;
  bool operator==(const Scan&) const = default;
};

void PrintTo(const Scan& s, std::ostream* os) {
  *os << "{result " << s.result << ", start " << s.start << ", length " << s.length << ", cursor "
      << s.cursor << "}";
}

Scan InRange(RepairContext& context, std::uint32_t scanStart, std::uint32_t scanEnd,
             bool useProfile, FrameSpan span = {}) {
  context.file->Seek(scanStart, kSeekSet);
  const ResultCode r = FindFrameInRange(context, span, scanStart, scanEnd, useProfile);
  return {r, span.start, span.length, context.file->Cursor()};
}

Scan InFile(RepairContext& context, std::uint64_t cursor, FrameSpan span = {}) {
  context.file->Seek(cursor, kSeekSet);
  const ResultCode r = FindFrameInFile(context, *context.file, span);
  return {r, span.start, span.length, context.file->Cursor()};
}

struct ProfiledContext : ContextOver {
  explicit ProfiledContext(const Bytes& bytes) : ContextOver(bytes) {
    SetDefaultFrameHeads(context);
  }
};

TEST(FindFrameInRangeTest, ProfileMode) {
  ProfiledContext over(Bytes{0x21, 0x0C, 0xAA, 0xBB, 0x21, 0x2C, 0xCC});
  EXPECT_EQ(InRange(over.context, 0, 7, true), (Scan{kOk, 0, 4, 4}));
  EXPECT_EQ(InRange(over.context, 4, 7, true), (Scan{kEndOfScan, 4, 0, 6}));
  // The closing head is looked for from one byte after the opening one.
  ProfiledContext adjacent(Bytes{0x21, 0x21, 0x0C, 0x00, 0x21, 0x4E, 0, 0});
  EXPECT_EQ(InRange(adjacent.context, 0, 8, true), (Scan{kOk, 1, 3, 4}));
  EXPECT_EQ(InRange(over.context, 6, 7, true), (Scan{kEndOfScan, 0, 0, 6}));  // nothing read
  EXPECT_EQ(InRange(over.context, 3, 3, true), (Scan{kEndOfScan, 0, 0, 3}));
}

TEST(FindFrameInRangeTest, TheCounterNotTheCursorBoundsTheScan) {
  // The region ends at 5: the head at 4 is the last candidate (counter 4 < 5 - 1 is false), so
  // it is not seen even though its bytes lie inside the file.
  ProfiledContext over(Bytes{0x21, 0x0C, 0, 0, 0x21, 0x0C, 0, 0});
  EXPECT_EQ(InRange(over.context, 0, 5, true), (Scan{kEndOfScan, 0, 0, 4}));
  // A candidate may read one byte past the region end: the head at 3 closes the frame.
  ProfiledContext past(Bytes{0x21, 0x0C, 0, 0x21, 0x6C});
  EXPECT_EQ(InRange(past.context, 0, 5, true), (Scan{kOk, 0, 3, 3}));
  // A head whose second byte would lie beyond the file is none.
  ProfiledContext cut(Bytes{0x21, 0x0C, 0, 0x21});
  EXPECT_EQ(InRange(cut.context, 0, 5, true), (Scan{kEndOfScan, 0, 0, 4}));
}

TEST(FindFrameInRangeTest, MarkerMode) {
  ContextOver over(
      Bytes{0x01, 0x05, 0x14, 0xAA, 0x01, 0x00, 0x14, 0x01, 0x05, 0x15, 0x01, 0x07, 0x14, 0xBB});
  EXPECT_EQ(InRange(over.context, 0, 14, false), (Scan{kOk, 0, 10, 10}));
  EXPECT_EQ(InRange(over.context, 10, 14, false), (Scan{kEndOfScan, 10, 0, 14}));
  // 01 01 14 14 holds the pattern at 0 and 1; after opening at 0 the scan resumes at 2.
  ContextOver overlapping(Bytes{0x01, 0x01, 0x14, 0x14, 0, 0, 0, 0});
  EXPECT_EQ(InRange(overlapping.context, 0, 8, false), (Scan{kEndOfScan, 0, 0, 8}));
  // A marker whose third byte would lie beyond the file is none.
  ContextOver cut(Bytes{0x01, 0x05, 0x14, 0, 0x01, 0x05});
  EXPECT_EQ(InRange(cut.context, 0, 6, false), (Scan{kEndOfScan, 0, 0, 6}));
}

TEST(FindFrameInFileTest, CapAtFourKilobytes) {
  Bytes bytes = Bytes{}.Fill(100, 0).U16(0x210C).Fill(4093, 0).U16(0x210C).Fill(50, 0);
  ProfiledContext under(bytes);
  EXPECT_EQ(InFile(under.context, 0), (Scan{kOk, 100, 4095, 4197}));  // heads at 100 and 4195

  Bytes over4k = Bytes{}.Fill(100, 0).U16(0x210C).Fill(4094, 0).U16(0x210C).Fill(50, 0);
  ProfiledContext over(over4k);
  // Heads at 100 and 4196: the first frame is given up, one opens at 4196 and runs to the tail.
  EXPECT_EQ(InFile(over.context, 0), (Scan{kEndOfScan, 4196, 50, 4248}));
}

TEST(FindFrameInFileTest, TailContinuationAndEnds) {
  ProfiledContext tiny(Bytes{0x21});
  EXPECT_EQ(InFile(tiny.context, 0), (Scan{kEndOfScan, 0, 0, 0}));

  Bytes oneHead = Bytes{}.Fill(10, 0).U16(0x214E).Fill(38, 0);  // 50 bytes
  ProfiledContext tail(oneHead);
  EXPECT_EQ(InFile(tail.context, 0), (Scan{kEndOfScan, 10, 38, 50}));

  // An open frame at 500, cursor one past the head that closed it before, next head at 700.
  Bytes open =
      Bytes{}.Fill(500, 0).U16(0x216C).Fill(98, 0).U16(0x216C).Fill(98, 0).U16(0x212C).Fill(20, 0);
  ProfiledContext cont(open);
  EXPECT_EQ(InFile(cont.context, 601, FrameSpan{500, 0}), (Scan{kOk, 500, 200, 702}));

  // A head in the last two bytes closes an open frame; the last byte alone is never a head.
  ProfiledContext last(Bytes{}.Fill(4, 0).U16(0x210C).Fill(6, 0).U16(0x210C));
  EXPECT_EQ(InFile(last.context, 0), (Scan{kOk, 4, 8, 14}));
  ProfiledContext lastByte(Bytes{}.Fill(4, 0).U16(0x210C).Fill(6, 0).U8(0x21));
  EXPECT_EQ(InFile(lastByte.context, 0), (Scan{kEndOfScan, 4, 7, 13}));
}

// The literal byte-at-a-time walks, through the cursor and readers, against which the fast
// scanners are checked on random data dense with heads.
ResultCode ReferenceInRange(RepairContext& context, FrameSpan& span, std::uint32_t scanStart,
                            std::uint32_t scanEnd, bool useProfile) {
  MappedFile& file = *context.file;
  const std::uint64_t size = file.Size();
  bool opened = false;
  for (std::uint32_t counter = scanStart; counter < scanEnd - 1; ++counter) {
    const std::uint64_t p = file.Cursor();
    std::uint16_t candidate = 0;
    file.ReadU16(candidate, false);
    const bool whole = p + 1 < size;
    if (useProfile) {
      if (whole && context.frameHeads->count(candidate)) {
        if (opened) {
          span.length = static_cast<std::uint32_t>(p - span.start);
          file.Seek(2, kSeekBackward);
          return kOk;
        }
        span.start = static_cast<std::uint32_t>(p);
        opened = true;
      }
    } else if (whole && (candidate >> 8) == 0x01 && (candidate & 0xFF) != 0) {
      std::uint8_t third = 0;
      file.ReadU8(third);
      if (third == 0x14 && p + 2 < size) {
        if (opened) {
          span.length = static_cast<std::uint32_t>(p - span.start);
          file.Seek(3, kSeekBackward);
          return kOk;
        }
        span.start = static_cast<std::uint32_t>(p);
        opened = true;
      } else {
        file.Seek(1, kSeekBackward);
      }
    }
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
        const auto d = static_cast<std::uint32_t>(p - span.start);
        span.length = d;
        if (d < 4096) return kOk;
        span.start = static_cast<std::uint32_t>(p);
        span.length = 0;
        file.Seek(1, kSeekBackward);
      } else {
        span.start = static_cast<std::uint32_t>(p);
        open = true;
      }
    } else {
      file.Seek(1, kSeekBackward);
    }
  }
  if (open && size - 2 - span.start < 4096)
    span.length = static_cast<std::uint32_t>(size - 2 - span.start);
  return kEndOfScan;
}

Bytes RandomBytes(std::mt19937& random, std::size_t size) {
  // Mostly heads and their bytes, so frames, restarts and adjacent heads all occur.
  static constexpr std::uint8_t kAlphabet[] = {0x21, 0x0C, 0x2C, 0x4E, 0x6C, 0x01, 0x14,
                                               0x05, 0x00, 0x21, 0x0C, 0x01, 0x14, 0x7F};
  Bytes bytes;
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 1), filler(0, 60);
  while (bytes.size() < size) {
    bytes.U8(kAlphabet[pick(random)]);
    if (filler(random) == 0) bytes.Fill(filler(random) * 150, 0x33);  // long frames too
  }
  return bytes;
}

TEST(FrameScannerTest, FastScansAgreeWithTheByteWiseWalk) {
  std::mt19937 random(20261206);
  for (int round = 0; round < 300; ++round) {
    const Bytes bytes = RandomBytes(random, 20 + random() % 9000);
    ProfiledContext fast(bytes);
    ProfiledContext slow(bytes);
    const auto size = static_cast<std::uint32_t>(bytes.size());
    for (bool profile : {true, false}) {
      const std::uint32_t end = size - random() % 8;
      std::uint32_t start = static_cast<std::uint32_t>(random() % 16);
      fast.context.file->Seek(start, kSeekSet);
      slow.context.file->Seek(start, kSeekSet);
      for (ResultCode r = kOk; r == kOk;) {
        FrameSpan a, b;
        r = FindFrameInRange(fast.context, a, start, end, profile);
        const ResultCode expected = ReferenceInRange(slow.context, b, start, end, profile);
        ASSERT_EQ((Scan{r, a.start, a.length, fast.context.file->Cursor()}),
                  (Scan{expected, b.start, b.length, slow.context.file->Cursor()}))
            << "round " << round << " profile " << profile;
        start = static_cast<std::uint32_t>(fast.context.file->Cursor());
      }
    }
    // The whole-file loop of the advanced repair, with frames kept open at random.
    fast.context.file->Seek(0, kSeekSet);
    slow.context.file->Seek(0, kSeekSet);
    FrameSpan a, b;
    for (ResultCode r = kOk; r == kOk;) {
      r = FindFrameInFile(fast.context, *fast.context.file, a);
      const ResultCode expected = ReferenceInFile(slow.context, *slow.context.file, b);
      ASSERT_EQ((Scan{r, a.start, a.length, fast.context.file->Cursor()}),
                (Scan{expected, b.start, b.length, slow.context.file->Cursor()}))
          << "round " << round;
      if (r != kOk) break;
      for (ProfiledContext* side : {&fast, &slow}) {
        FrameSpan& span = side == &fast ? a : b;
        MappedFile& file = *side->context.file;
        file.Seek(span.start, kSeekSet);
        file.Seek(span.length, kSeekForward);
        if (round % 3 == 0 && span.length % 2 == 0) {
          span.length = 0;  // keep the frame open, as when the decoder wants more
          file.Seek(1, kSeekForward);
        } else {
          span = {};
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillmend
