// Both repairs end to end through the public header, on recordings made with the ffmpeg tool.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <thread>

#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::ByteVector;
using test::Media;

class RepairTest : public test::LogTest {
 protected:
  // Copies a medium into this test's input directory.
  std::string Input(const std::string& medium, const std::string& as = "") {
    fs::create_directories(work_.path() / "in");
    const fs::path path = work_.path() / "in" / (as.empty() ? medium : as);
    fs::copy_file(Media(medium), path);
    return test::U8(path);
  }
  // One repair into out/, over a stale intermediate file and an old output: appended to, the
  // stale frames would be out of order, the stale audio loud and long. Checks what every repair
  // must show: its result and log, inputs unchanged, only the output left.
  std::string Repair(const std::string& damaged, const std::string& sample = "") {
    const fs::path out = work_.path() / "out";
    fs::create_directories(out);
    if (sample.empty()) fs::copy_file(Media("recorder.adts"), out / "tmp.adts");
    if (!sample.empty()) test::WriteFile(out / "tmp.pcm", test::Bytes{}.Fill(44100 * 4 * 30, 0x7F));
    test::WriteFile(out / "fixed.m4a", test::Bytes{}.Text("an old output"));
    auto expected = test::Snapshot(work_.path());
    for (const char* gone : {"out/tmp.adts", "out/tmp.pcm", "out/fixed.m4a"}) expected.erase(gone);
    const std::string output = test::U8(out / "fixed.m4a");
    if (sample.empty()) {
      EXPECT_EQ(OrvM4aGeneralRepair(damaged.c_str(), output.c_str()), ORVM4A_OK);
      EXPECT_EQ(Messages(), test::Lines{"corrupt: " + damaged});
    } else {
      EXPECT_EQ(OrvM4aAdvanceRepair(damaged.c_str(), sample.c_str(), output.c_str()), ORVM4A_OK);
      EXPECT_EQ(Messages(), test::Lines{"corrupt: " + damaged + ", sample: " + sample});
    }
    auto after = test::Snapshot(work_.path());
    EXPECT_EQ(after.erase("out/fixed.m4a"), 1u);
    EXPECT_EQ(after, expected);
    return output;
  }
  test::TempDir work_;
};

// One way a recording gets damaged: garbage in the middle of its media data, and a cut after a
// share of it (1: a recorder that lost power never wrote its index), or none (0).
struct Damage {
  const char* name;
  bool garbage;
  double cut;
};

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

const Damage kDamages[] = {
    {"CutBeforeMoov", false, 1}, {"GarbageInAudio", true, 0}, {"CutInsideAudio", false, 0.6}};

bool IsRecorderHead(const ByteVector& bytes, std::uint64_t at) {
  const int head = bytes[at] << 8 | bytes[at + 1];
  return head == 0x210C || head == 0x212C || head == 0x214E || head == 0x216C;
}

class GeneralRepairTest : public RepairTest, public testing::WithParamInterface<Damage> {};

TEST_P(GeneralRepairTest, RecoversTheOriginalFramesWithoutReencoding) {
  const ByteVector original = test::ReadFile(Media("recorder.m4a"));
  const auto frames = test::ReadMedia(Media("recorder.m4a")).packets;
  const std::uint64_t mdat = test::CutBefore(original, "mdat").size();
  std::uint64_t mdatEnd = mdat, lost0 = 0, lost1 = 0;  // [lost0, lost1) is destroyed
  for (int i = 0; i < 4; ++i) mdatEnd += std::uint64_t{original[mdat + i]} << (24 - 8 * i);
  ByteVector damaged = original;
  if (GetParam().garbage) lost0 = (mdat + mdatEnd) / 2, lost1 = lost0 + 5000;
  std::mt19937 random(4242);
  for (auto i = lost0; i < lost1; ++i) damaged[i] = std::uint8_t(random());
  if (GetParam().cut > 0)
    damaged.resize(mdat + 8 + std::size_t((mdatEnd - mdat - 8) * GetParam().cut));
  test::WriteFile(work_.File("damaged.m4a"), damaged);
  const auto repaired = test::ReadMedia(Repair(work_.File("damaged.m4a")));
  ASSERT_EQ(repaired.streams, test::Lines{"audio:aac"});

  // Every output packet that is an original frame, matched in order.
  std::map<ByteVector, std::size_t> indexOf;
  for (std::size_t i = 0; i < frames.size(); ++i) indexOf.emplace(frames[i].data, i);
  std::vector<bool> recovered(frames.size());
  std::size_t exact = 0, last = 0;
  for (const auto& packet : repaired.packets) {
    if (const auto found = indexOf.find(packet.data); found != indexOf.end()) {
      EXPECT_GE(found->second, last) << "frames out of order";
      last = found->second, recovered[last] = true, ++exact;
    }
  }
  // The frames that must come back byte for byte: cut from one recorder head to the next, a
  // frame comes back when it and the next frame start with recorder heads that survived and no
  // recorder head hides inside its own bytes. The others are dropped or merged by design.
  const auto survives = [&](std::uint64_t from, std::uint64_t to) {
    return to <= damaged.size() && (to <= lost0 || from >= lost1);
  };
  std::size_t expected = 0, inside = 0;
  for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
    const std::uint64_t at = frames[i].position, end = at + frames[i].data.size();
    const std::uint64_t next = frames[i + 1].position;
    inside += end <= damaged.size();
    if (!survives(at, end) || !survives(next, next + 2)) continue;
    bool mustComeBack = IsRecorderHead(damaged, at) && IsRecorderHead(damaged, next);
    for (auto j = at + 1; j + 1 < end; ++j) mustComeBack &= !IsRecorderHead(damaged, j);
    EXPECT_TRUE(!mustComeBack || recovered[i]) << "frame " << i << " was lost";
    expected += mustComeBack;
  }
  EXPECT_GE(expected, inside * 9 / 10) << "fixture too damaged to judge";
  // Only the frames that are not originals (merged or split by design) may fail to decode.
  const int errors = test::CountDecodeErrors(work_.File("out/fixed.m4a"));
  EXPECT_TRUE(errors >= 0 && std::size_t(errors) <= repaired.packets.size() - exact) << errors;
}

INSTANTIATE_TEST_SUITE_P(Damages, GeneralRepairTest, testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// The output decodes without a complaint and is stereo, whatever the sample was. Returns how
// many windows of its audio follow the original's closely, and of how many.
std::pair<std::size_t, std::size_t> CompareWithOriginal(const std::string& original,
                                                        const std::string& repaired,
                                                        std::size_t window, long dropStep) {
  EXPECT_EQ(test::CountDecodeErrors(repaired), 0);
  const auto media = test::ReadMedia(repaired);
  EXPECT_EQ(media.channels, 2);
  const double expected = test::ReadMedia(original).seconds;
  EXPECT_LE(media.seconds, expected * 1.03);
  EXPECT_GE(media.seconds, expected * (dropStep ? 0.85 : 0.97));
  const auto windows = test::CompareAudio(original, repaired, window, dropStep);
  const auto close =
      std::count_if(windows.begin(), windows.end(), [](double c) { return c > 0.9; });
  EXPECT_GE(windows.size(), std::size_t(expected * 44100 / window) - 1);
  return {std::size_t(close), windows.size()};
}

// The damaged copy's audio comes back whole: as long as the original, and like it in every
// one-second window.
TEST_F(RepairTest, AdvancedRepairOfARecordingCutBeforeItsIndex) {
  const std::string output = Repair(Input("recorder-cut.m4a"), Input("recorder-sample.m4a"));
  const auto [close, windows] = CompareWithOriginal(Media("recorder.m4a"), output, 44100, 0);
  EXPECT_EQ(close, windows);
}

// The head of a one-channel frame holds the frame's global gain, so the profile learned from a
// short sample lacks heads of the damaged recording and finds false ones inside frames. Spans
// opened at a false head are merged until they reach the length cap and dropped, whole frames
// at a time, and now and then a false span decodes: some audio is lost or replaced, but most of
// what comes back is the original's, in order. Short windows keep the glitches apart.
TEST_F(RepairTest, AdvancedRepairOfAMonoRecordingComesBackAsStereo) {
  const std::string output = Repair(Input("mono-cut.m4a"), Input("mono-sample.m4a"));
  const auto [close, windows] = CompareWithOriginal(Media("mono.m4a"), output, 4410, 1024);
  EXPECT_GE(close, windows * 3 / 4);
}

// A program of its own that repairs argv[n - 2] into argv[n - 1], again and again so that two
// of them overlap, for the test below.
TEST(ChildProcess, DISABLED_GeneralRepair) {
  const std::vector<std::string> argv = testing::internal::GetArgvs();
  ASSERT_GE(argv.size(), 3u);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(OrvM4aGeneralRepair(argv[argv.size() - 2].c_str(), argv.back().c_str()), ORVM4A_OK);
  }
}

// Repairs of different files give the same bytes as each one alone when they all write into one
// directory at once, where they take turns: on several threads, and in two processes. The
// threads' directory is named outside ASCII and with a blank, which reaches the file system,
// FFmpeg and the transcoder intact.
TEST_F(RepairTest, RepairsIntoOneDirectoryAtOnceGiveTheSameOutputsAsAlone) {
  const ByteVector cut = test::ReadFile(Media("recorder-cut.m4a"));
  test::WriteFile(work_.File("shorter.m4a"),
                  ByteVector(cut.begin(), cut.begin() + long(cut.size() / 2)));
  const std::vector<std::pair<std::string, std::string>> jobs = {
      {Input("recorder-cut.m4a"), ""},
      {work_.File("shorter.m4a"), ""},
      {Input("recorder-cut.m4a", "again.m4a"), Input("recorder-sample.m4a")},
      {Input("mono-cut.m4a"), Input("mono-sample.m4a")}};
  std::vector<int32_t> codes(2 * jobs.size() + 2, -1);
  const auto output = [&](const char* round, std::size_t i) {
    fs::create_directories(work_.path() / fs::u8path(round));
    return test::U8(work_.path() / fs::u8path(round) / (std::to_string(i) + ".m4a"));
  };
  const auto run = [&](std::size_t i, const char* round, int32_t& code) {
    const auto& [damaged, sample] = jobs[i];
    code = sample.empty()
               ? OrvM4aGeneralRepair(damaged.c_str(), output(round, i).c_str())
               : OrvM4aAdvanceRepair(damaged.c_str(), sample.c_str(), output(round, i).c_str());
  };
#ifdef _WIN32
  const std::string program = test::Quote(test::ProgramDirectory() + "\\quillmend_api_tests.exe");
#else
  const std::string program = test::Quote(test::ProgramDirectory() + "/quillmend_api_tests");
#endif
  // The children run their one test whichever shard of the tests this program runs.
#ifdef _WIN32
  _putenv("GTEST_TOTAL_SHARDS=");
  _putenv("GTEST_SHARD_INDEX=");
#else
  unsetenv("GTEST_TOTAL_SHARDS");
  unsetenv("GTEST_SHARD_INDEX");
#endif
  std::vector<std::string> said(2);
  const auto child = [&](std::size_t i, int32_t& code) {
    code = test::Run(program + " --gtest_also_run_disabled_tests --gtest_filter=ChildProcess.* " +
                         test::Quote(jobs[i].first) + " " + test::Quote(output("processes", i)),
                     &said[i]);
  };
  for (std::size_t i = 0; i < jobs.size(); ++i) run(i, "alone", codes[i]);
  const char* kThreads =
      "thr\xC3\xA9"
      "ads \xF0\x9F\x8E\xB5";
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    threads.emplace_back(run, i, kThreads, std::ref(codes[jobs.size() + i]));
  }
  for (std::size_t i = 0; i < 2; ++i)
    threads.emplace_back(child, i, std::ref(codes[2 * jobs.size() + i]));
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(codes, std::vector<int32_t>(codes.size(), ORVM4A_OK))
      << "the processes said:\n" << said[0] << "\n" << said[1];
  const auto alone = test::Snapshot(work_.path() / "alone");
  EXPECT_EQ(test::Snapshot(work_.path() / fs::u8path(kThreads)), alone);
  EXPECT_EQ(test::Snapshot(work_.path() / "processes"),
            (decltype(alone){*alone.find("0.m4a"), *alone.find("1.m4a")}));
}

}  // namespace
}  // namespace quillmend
