// The general repair end to end, through the public header, on recordings made at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "quillmend_sdk.h"
#include "support/media_probe.h"
#include "support/recordings.h"
#include "support/test_support.h"

namespace quillmend {
namespace {

using test::Recording;
using test::TempDir;

bool IsRecorderHead(std::uint8_t first, std::uint8_t second) {
  const int head = first << 8 | second;
  return head == 0x210C || head == 0x212C || head == 0x214E || head == 0x216C;
}

// One way a recording gets damaged: the bytes that survive, and the stretch that was destroyed.
struct Damage {
  const char* name;
  std::vector<std::uint8_t> (*apply)(const Recording&, std::uint64_t& lost0, std::uint64_t& lost1);
};

const Damage kDamages[] = {
    {"CutBeforeMoov",
     [](const Recording& r, std::uint64_t&, std::uint64_t&) {
       // A recorder that lost power never wrote its index.
       return std::vector<std::uint8_t>(r.bytes.begin(), r.bytes.begin() + r.moovOffset);
     }},
    {"HeaderWiped",
     [](const Recording& r, std::uint64_t& lost0, std::uint64_t& lost1) {
       auto bytes = r.bytes;
       std::fill(bytes.begin(), bytes.begin() + 32, 0);
       lost0 = 0, lost1 = 32;
       return bytes;
     }},
    {"GarbageInAudio",
     [](const Recording& r, std::uint64_t& lost0, std::uint64_t& lost1) {
       auto bytes = r.bytes;
       lost0 = (r.mdatPayload + r.mdatEnd) / 2, lost1 = lost0 + 5000;
       std::mt19937 random(4242);
       for (auto i = lost0; i < lost1; ++i) bytes[i] = static_cast<std::uint8_t>(random());
       return bytes;
     }},
    {"CutInsideAudio",
     [](const Recording& r, std::uint64_t&, std::uint64_t&) {
       const auto cut = r.mdatPayload + (r.mdatEnd - r.mdatPayload) * 3 / 5;
       return std::vector<std::uint8_t>(r.bytes.begin(), r.bytes.begin() + cut);
     }},
};

class GeneralRepairTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = new TempDir;
    recording_ =
        new Recording(test::MakeRecorderLikeRecording(source_->File("recorder.m4a"), 20.0));
  }
  static void TearDownTestSuite() {
    delete recording_;
    delete source_;
  }
  void SetUp() override {
    static int owner;
    ASSERT_EQ(OrvM4aInit(log_.path().c_str(), &owner), ORVM4A_OK);
  }
  std::vector<std::string> Messages() const {
    auto messages = test::LogMessages(log_.File("quillmend_sdk.log"));
    messages.erase(messages.begin());  // the banner
    return messages;
  }

  static TempDir* source_;
  static Recording* recording_;
  TempDir log_, work_;
};
TempDir* GeneralRepairTest::source_ = nullptr;
Recording* GeneralRepairTest::recording_ = nullptr;

class DamageTest : public GeneralRepairTest, public testing::WithParamInterface<Damage> {};

// The frames that must come back byte for byte: cut from one recorder head to the next, so a
// frame comes back when it and the next frame start with recorder heads that survived, and no
// recorder head hides inside its own bytes. The others are dropped or merged by design.
std::vector<std::size_t> FramesThatMustComeBack(const Recording& r,
                                                const std::vector<std::uint8_t>& damaged,
                                                std::uint64_t lost0, std::uint64_t lost1) {
  const auto survives = [&](std::uint64_t from, std::uint64_t to) {
    return to <= damaged.size() && (to <= lost0 || from >= lost1);
  };
  std::vector<std::size_t> expected;
  for (std::size_t i = 0; i + 1 < r.frames.size(); ++i) {
    const auto at = static_cast<std::uint64_t>(r.frames[i].position);
    const auto size = r.frames[i].data.size();
    const auto next = static_cast<std::uint64_t>(r.frames[i + 1].position);
    if (!survives(at, at + size) || !survives(next, next + 2)) continue;
    if (!IsRecorderHead(damaged[at], damaged[at + 1])) continue;
    if (!IsRecorderHead(damaged[next], damaged[next + 1])) continue;
    bool falseHead = false;
    for (auto j = at + 1; j + 1 < at + size; ++j)
      falseHead |= IsRecorderHead(damaged[j], damaged[j + 1]);
    if (!falseHead) expected.push_back(i);
  }
  return expected;
}

TEST_P(DamageTest, RecoversTheOriginalFramesWithoutReencoding) {
  const Recording& original = *recording_;
  std::uint64_t lost0 = 0, lost1 = 0;
  const auto damaged = GetParam().apply(original, lost0, lost1);
  const std::string input = work_.File("damaged.m4a"), output = work_.File("repaired.m4a");
  test::WriteFile(input, damaged);
  const auto inputHash = test::HashFile(input);

  ASSERT_EQ(OrvM4aGeneralRepair(input.c_str(), output.c_str()), ORVM4A_OK);
  EXPECT_EQ(Messages(), std::vector<std::string>{"corrupt: " + input});
  EXPECT_FALSE(std::filesystem::exists(work_.File("tmp.adts")));
  EXPECT_EQ(test::HashFile(input), inputHash);

  const auto repaired = test::ReadMedia(output);
  ASSERT_TRUE(repaired.opened);
  EXPECT_EQ(repaired.streams, std::vector<std::string>{"audio:aac"});

  // Every output packet that is an original frame, matched in order.
  std::map<std::vector<std::uint8_t>, std::size_t> indexOf;
  for (std::size_t i = 0; i < original.frames.size(); ++i)
    indexOf.emplace(original.frames[i].data, i);
  std::vector<bool> recovered(original.frames.size());
  std::size_t exact = 0, last = 0;
  for (const auto& packet : repaired.packets) {
    const auto found = indexOf.find(packet.data);
    if (found == indexOf.end()) continue;
    EXPECT_GE(found->second, last) << "frames out of order";
    last = found->second;
    recovered[found->second] = true;
    ++exact;
  }
  const auto expected = FramesThatMustComeBack(original, damaged, lost0, lost1);
  for (std::size_t i : expected) EXPECT_TRUE(recovered[i]) << "frame " << i << " was lost";
  const auto inside = std::count_if(original.frames.begin(), original.frames.end(), [&](auto& f) {
    return f.position + f.data.size() <= damaged.size();
  });
  EXPECT_GE(expected.size(), inside * 9 / 10u) << "fixture too damaged to judge";

  // The frames that are not originals (merged or split by design) are the only ones that may
  // fail to decode.
  const int errors = test::CountDecodeErrors(output);
  EXPECT_GE(errors, 0);
  EXPECT_LE(static_cast<std::size_t>(errors), repaired.packets.size() - exact);
  std::printf(
      "[ %s ] recovered %zu of %zu original frames byte for byte (%.1f%%), %zu packets, "
      "%d undecodable, %.2f s\n",
      GetParam().name, exact, original.frames.size(), 100.0 * exact / original.frames.size(),
      repaired.packets.size(), errors, repaired.durationSeconds);
}

INSTANTIATE_TEST_SUITE_P(Damages, DamageTest, testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

TEST_F(GeneralRepairTest, AStaleIntermediateFileNeverReachesTheOutput) {
  const std::string input = source_->File("recorder.m4a");
  const std::string fresh = work_.File("fresh.m4a"), again = work_.File("again.m4a");
  ASSERT_EQ(OrvM4aGeneralRepair(input.c_str(), fresh.c_str()), ORVM4A_OK);
  // Frames of another repair left behind in the same directory.
  std::filesystem::copy_file(fresh, work_.File("tmp.adts"));
  test::Run("timeout 60 ffmpeg -nostdin -v error -i " + fresh + " -c copy -f adts " +
            work_.File("tmp.adts") + " -y");
  ASSERT_EQ(OrvM4aGeneralRepair(input.c_str(), again.c_str()), ORVM4A_OK);
  EXPECT_EQ(test::ReadMedia(again).packets.size(), test::ReadMedia(fresh).packets.size());
  EXPECT_FALSE(std::filesystem::exists(work_.File("tmp.adts")));
}

TEST_F(GeneralRepairTest, OutputProblemsEndTheCallInOrder) {
  const std::string input = source_->File("recorder.m4a");
  const std::string unknown = work_.File("out.unknownext");
  EXPECT_EQ(OrvM4aGeneralRepair(input.c_str(), unknown.c_str()), ORVM4A_ERR_MEDIA);
  EXPECT_FALSE(std::filesystem::exists(work_.File("tmp.adts")));

  const std::string missingDir = work_.File("no-such-dir") + "/out.m4a";
  EXPECT_EQ(OrvM4aGeneralRepair(input.c_str(), missingDir.c_str()), ORVM4A_ERR_INTERMEDIATE);

  // A stale "tmp.adts" that cannot be removed: a directory with something in it.
  TempDir blocked;
  std::filesystem::create_directories(blocked.path() / "tmp.adts" / "keep");
  const std::string blockedOut = blocked.File("out.m4a");
  EXPECT_EQ(OrvM4aGeneralRepair(input.c_str(), blockedOut.c_str()), ORVM4A_ERR_INTERMEDIATE);
  EXPECT_FALSE(std::filesystem::exists(blockedOut));

  const std::string notUtf8 = work_.File("out\xFF.m4a");
  EXPECT_EQ(OrvM4aGeneralRepair(input.c_str(), notUtf8.c_str()), ORVM4A_ERR_PATH_ENCODING);

  const auto messages = Messages();
  const std::vector<std::string> expected = {
      "corrupt: " + input,
      "[ffmpeg_remux](114): ffmpeg err: Invalid argument",
      "adts -> m4a ffmpeg error: -22",
      "fix failed! -4046",
      "corrupt: " + input,
      ">>[!] Can't create the intermediate file " + work_.File("no-such-dir") + "/tmp.adts",
      "fix failed! -4050",
      "corrupt: " + input,
      ">>[!] filesystem error: cannot remove: Directory not empty [" + blocked.File("tmp.adts") +
          "]",
      "fix failed! -4050",
      "corrupt: " + input,
      ">>[!] A path is not valid UTF-8",
      "fix failed! -4049"};
  EXPECT_EQ(messages, expected);
}

}  // namespace
}  // namespace quillmend
