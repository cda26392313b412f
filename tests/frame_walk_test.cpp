// Walking a range in two halves on two threads gives the frames, damage and stepped-over runs
// that one walk gives, on real recordings cut before their index and hit by a burst of bad
// bytes, wherever the middle falls: in a frame, at a frame's start, inside the damage.
#include "repair/frame_walk.h"

#include <random>
#include <thread>
#include <tuple>

#include "mp4/container.h"
#include "repair/find_streams.h"
#include "support/recordings.h"
#include "support/support.h"

namespace quillmend::exact {
namespace {

namespace fs = std::filesystem;
using test::ByteVector;

// Made once with the ffmpeg tool and kept with the other test media.
std::string Alac() {
  const fs::path path = test::MediaDirectory() / "walk-alac.m4a";
  if (fs::exists(path)) return test::U8(path);
  fs::create_directories(path.parent_path());
  const fs::path part =
      test::MediaDirectory() / ("part-" + std::to_string(std::random_device{}()) + ".m4a");
  const std::string command =
      "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=330:duration=4 -f lavfi -i "
      "anoisesrc=color=pink:amplitude=0.1:duration=4 -filter_complex amerge=inputs=2 -c:a alac "
      "-sample_fmt s16p " +
      test::Quote(test::U8(part));
  EXPECT_EQ(test::Run(command), 0) << command;
  fs::rename(part, path);
  return test::U8(path);
}
std::string FfmpegAac() { return test::Make({test::Encoder::kFfmpeg, 44100, 2, 128}); }
std::string VisualOnAac() {
  return test::Make({test::Encoder::kVisualOn, 48000, 1, 64, test::Content::kSpeech});
}

struct Recording {
  const char* name;
  std::string (*make)();
};

void PrintTo(const Recording& r, std::ostream* os) { *os << r.name; }

const Recording kRecordings[] = {
    {"FfmpegAac", FfmpegAac}, {"VisualOnAac", VisualOnAac}, {"Alac", Alac}};

using Tiles = std::vector<std::tuple<char, std::uint64_t, std::uint64_t, std::uint64_t>>;

// What a walk found, in one list that compares whole: frames (offset, size, stream), damage
// (offset, length, frames before) and other tracks' runs.
Tiles TilesOf(const RangeWalk& walk) {
  Tiles tiles;
  for (const FrameRef& f : walk.frames) tiles.emplace_back('f', f.offset, f.size, f.stream);
  for (const Stretch& s : walk.damage) tiles.emplace_back('d', s.offset, s.length, s.framesBefore);
  for (const OtherSpan& o : walk.others) tiles.emplace_back('o', o.offset, o.length, 0);
  return tiles;
}

// Frames of a made-up codec: 0xA5, the frame's length, then anything but 0xA5.
class ToySyntax : public FrameSyntax {
 public:
  bool MayStart(std::uint8_t first) const override { return first == 0xA5; }
  FrameRead Read(const std::uint8_t* data, std::size_t size) const override {
    FrameRead read;
    if (size == 0 || data[0] != 0xA5) return read;
    read.status = FrameStatus::kTruncated;
    if (size < 2 || data[1] > size) return read;
    read.status = data[1] >= 2 ? FrameStatus::kValid : FrameStatus::kInvalid;
    read.bytes = data[1];
    read.shape = 1;
    return read;
  }
  bool Fits(const FrameRead& read) const override { return read.status == FrameStatus::kValid; }
  bool Follows(const FrameRead&, const FrameRead&) const override { return true; }
  bool IntactStart(const std::uint8_t*, const FrameRead&) const override { return false; }
  std::unique_ptr<FrameSyntax> BindTo(const FrameRead&) const override {
    return std::make_unique<ToySyntax>();
  }
};

// Damaged bytes that read as one long frame, across the middle, and break the chain where that
// frame ends: one walk steps back over it and gives its bytes up, and so must the halves, the
// first of which stopped right behind it.
TEST(WalkHalves, StepBackOverAFalseFrameAcrossTheMiddle) {
  ByteVector data;
  const auto frames = [&](int count) {
    for (int i = 0; i < count; ++i) data.insert(data.end(), {0xA5, 10, 1, 2, 3, 4, 5, 6, 7, 8});
  };
  frames(20);
  data.insert(data.end(), {0xA5, 255});
  data.resize(200 + 255 + 45, 0x11);
  frames(30);
  const ToySyntax syntax;
  const FrameWalker walker(data.data(), {&syntax});
  RangeWalk once, halves;
  walker.Walk(0, data.size(), true, &once);
  walker.WalkSplit(0, data.size(), true, &halves, {}, 0);
  ASSERT_EQ(once.damage.size(), 1u);
  EXPECT_EQ(once.damage[0].offset, 200u);
  EXPECT_EQ(TilesOf(halves), TilesOf(once));
}

class WalkHalvesTest : public testing::TestWithParam<Recording> {};

TEST_P(WalkHalvesTest, GiveWhatOneWalkGives) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "a range is split on two cores";
  // Cut before the index, as a recorder that lost power leaves it, with 500 bad bytes in the
  // second quarter of its media.
  ByteVector file = test::CutBefore(test::ReadFile(GetParam().make()), "moov");
  std::mt19937 random(7);
  for (std::size_t i = file.size() * 3 / 8, end = i + 500; i < end; ++i) {
    file[i] = std::uint8_t(random());
  }
  const ContainerLayout container = ReadContainer(file.data(), file.size());
  ASSERT_EQ(container.media.size(), 1u);
  WalkResult scratch;
  const Streams streams = FindStreams(file.data(), container, WalkOptions{}, &scratch);
  ASSERT_TRUE(streams.status.ok());
  std::vector<const FrameSyntax*> syntaxes;
  for (const FoundStream& s : streams.found) syntaxes.push_back(s.syntax.get());
  std::vector<const OtherSamples*> others;
  for (const auto& o : streams.others) others.push_back(o.get());
  const FrameWalker walker(file.data(), syntaxes, others);

  const MediaRange media = container.media[0];
  const std::uint64_t span = media.end - media.begin;
  for (std::uint64_t k = 0; k < 24; ++k) {
    const std::uint64_t begin = media.begin + k * span / 61, end = media.end - k * span / 97;
    RangeWalk once, halves;
    walker.Walk(begin, end, media.boxed, &once);
    walker.WalkSplit(begin, end, media.boxed, &halves, {}, 0);
    if (k == 0) {
      ASSERT_TRUE(once.frames.size() > 40 && !once.damage.empty());
    }
    EXPECT_EQ(TilesOf(halves), TilesOf(once)) << "[" << begin << ", " << end << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(Recordings, WalkHalvesTest, testing::ValuesIn(kRecordings),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmend::exact
