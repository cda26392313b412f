// The advanced repair end to end, through the public header against the shared library, with
// recordings made by the ffmpeg tool when the tests start.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "quillmend_sdk.h"
#include "support/audio.h"
#include "support/test_support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::TempDir;

int gOwner;

// Names and contents of everything in a directory.
std::map<std::string, std::uint64_t> Snapshot(const fs::path& dir) {
  std::map<std::string, std::uint64_t> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    files[entry.path().filename().string()] = test::HashFile(entry.path());
  }
  return files;
}

// A healthy sample and a different recording with the same settings, cut before its index.
struct Recordings {
  std::string sample, original, damaged;
};

Recordings Cut(const TempDir& dir, const std::string& tag,
               const std::function<void(const std::string& path, double seconds)>& record) {
  Recordings r{dir.File("sample-" + tag + ".m4a"), dir.File("original-" + tag + ".m4a"),
               dir.File("damaged-" + tag + ".m4a")};
  record(r.sample, 5.0);
  record(r.original, 20.0);
  const auto cut = test::CutBeforeIndex(test::ReadFile(r.original));
  EXPECT_FALSE(cut.empty());
  test::WriteFile(r.damaged, cut);
  return r;
}

TempDir& RecordingsDir() {
  static TempDir dir;
  return dir;
}

// Made once for all tests: tone and noise, fresh noise for every recording.
const Recordings& Stereo() {
  static const Recordings r =
      Cut(RecordingsDir(), "stereo",
          [](const std::string& path, double seconds) { test::MakeRecording(path, seconds); });
  return r;
}

// Noise of fixed seeds, one for the sample and another for the original: the frames found in
// a one-channel recording depend on its content (see AMonoRecordingComesBackAsStereo), and
// the test is to be the same on every run.
const Recordings& Mono() {
  static int seed = 11;
  static const Recordings r =
      Cut(RecordingsDir(), "mono", [](const std::string& path, double seconds) {
        test::MakeSteadyRecording(path, seconds, 1, seed);
        seed += 12;
      });
  return r;
}

class AdvanceRepairTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OrvM4aInit(logDir_.path().c_str(), &gOwner), ORVM4A_OK); }
  // Messages logged since the banner.
  std::vector<std::string> Messages() const {
    auto messages = test::LogMessages(logDir_.File("quillmend_sdk.log"));
    if (!messages.empty()) messages.erase(messages.begin());
    return messages;
  }
  TempDir logDir_;
  TempDir work_;
};

// The output decodes without a complaint and is stereo, whatever the sample was.
void ExpectCleanStereo(const std::string& repaired) {
  std::string complaints;
  EXPECT_EQ(test::Run("ffmpeg -nostdin -v error -i " + test::Quote(repaired) + " -f null - 2>&1",
                      &complaints),
            0);
  EXPECT_EQ(complaints, "");
  EXPECT_EQ(test::ProbeChannels(repaired), 2);
}

// The damaged copy's audio comes back whole: as long as the original, and like it in every
// one-second window.
void ExpectSameAudio(const std::string& original, const std::string& repaired) {
  ExpectCleanStereo(repaired);
  const double expected = test::ProbeDuration(original), got = test::ProbeDuration(repaired);
  EXPECT_NEAR(got, expected, expected * 0.03);
  const auto match =
      test::CompareAudio(test::DecodeMono(original), test::DecodeMono(repaired), 44100, 4096);
  std::printf(
      "duration %.3f s of %.3f s; delay %ld samples; worst of %zu one-second windows: "
      "correlation %.4f\n",
      got, expected, match.lag, match.windows.size(), match.Worst());
  EXPECT_GE(match.windows.size(), static_cast<std::size_t>(expected) - 1);
  EXPECT_GT(match.Worst(), 0.9);
}

TEST_F(AdvanceRepairTest, RepairsARecordingCutBeforeItsIndex) {
  const Recordings& r = Stereo();
  const auto inputs = std::map{std::pair{r.sample, test::HashFile(r.sample)},
                               std::pair{r.damaged, test::HashFile(r.damaged)}};
  // A left-over of an earlier failed run: louder and longer than the recording. Appended to,
  // it would show in the duration and the correlation.
  test::WriteFile(work_.File("tmp.pcm"), Bytes{}.Fill(44100 * 4 * 30, 0x7F));
  const std::string output = work_.File("fixed.m4a");

  ASSERT_EQ(OrvM4aAdvanceRepair(r.damaged.c_str(), r.sample.c_str(), output.c_str()), ORVM4A_OK);
  EXPECT_EQ(Messages(),
            std::vector<std::string>{"corrupt: " + r.damaged + ", sample: " + r.sample});
  EXPECT_EQ(Snapshot(work_.path()).size(), 1u) << "only the output is left";
  ExpectSameAudio(r.original, output);
  for (const auto& [path, hash] : inputs) EXPECT_EQ(test::HashFile(path), hash) << path;

  // An existing output is replaced.
  ASSERT_EQ(OrvM4aAdvanceRepair(r.damaged.c_str(), r.sample.c_str(), output.c_str()), ORVM4A_OK);
  ExpectSameAudio(r.original, output);
}

// The head of a one-channel frame holds the frame's global gain, so the profile learned from a
// short sample lacks heads of the damaged recording and finds false ones inside frames. Spans
// opened at a false head are merged until they reach the length cap and dropped, whole frames
// at a time, and now and then a false span decodes: some audio is lost or replaced, but most of
// what comes back is the original's, in order. Short windows keep the glitches apart.
TEST_F(AdvanceRepairTest, AMonoRecordingComesBackAsStereo) {
  const Recordings& r = Mono();
  const std::string output = work_.File("fixed.m4a");
  ASSERT_EQ(OrvM4aAdvanceRepair(r.damaged.c_str(), r.sample.c_str(), output.c_str()), ORVM4A_OK);
  EXPECT_FALSE(fs::exists(work_.File("tmp.pcm")));
  ExpectCleanStereo(output);
  const double expected = test::ProbeDuration(r.original), got = test::ProbeDuration(output);
  const auto match =
      test::CompareAudio(test::DecodeMono(r.original), test::DecodeMono(output), 4410, 4096, 1024);
  std::printf(
      "duration %.3f s of %.3f s; %zu of %zu 0.1-second windows of the original found "
      "(correlation above 0.9), allowing for lost and false frames\n",
      got, expected, match.CountAbove(0.9), match.windows.size());
  EXPECT_LE(got, expected * 1.03);
  EXPECT_GE(got, expected * 0.85);
  EXPECT_GE(match.CountAbove(0.9), match.windows.size() * 3 / 4);
}

// The tool's own failure does not change the result: it was started and has ended. Its exit
// code is the only trace, as an information line.
TEST_F(AdvanceRepairTest, ATranscoderThatFailsStillCountsAsRun) {
  const Recordings& r = Stereo();
  const std::string output = work_.File("fixed.unknown-container");
  EXPECT_EQ(OrvM4aAdvanceRepair(r.damaged.c_str(), r.sample.c_str(), output.c_str()), ORVM4A_OK);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"corrupt: " + r.damaged + ", sample: " + r.sample,
                                                  "ffmpeg exited with code 1"}));
  EXPECT_TRUE(Snapshot(work_.path()).empty());
}

// One row: a repair that fails in its last stage, with its code and log lines; nothing may be
// left behind and no input written.
struct Row {
  const char* name;
  // Makes the sample file in `dir` and returns its path.
  std::function<std::string(const TempDir& dir)> sample;
  // The output path in `dir`.
  std::function<std::string(const TempDir& dir)> output;
  int32_t expected;
  std::vector<std::string> lines;  // after the entry line; <dir> stands for the directory
};

std::string HealthySample(const TempDir&) { return Stereo().sample; }
std::string Output(const TempDir& dir) { return dir.File("fixed.m4a"); }

// Box headers and sample tables that the analysis accepts, but no index that FFmpeg could open.
std::string UnopenableSample(const TempDir& dir) {
  Bytes tables;
  tables.Text("stco").Fill(8, 0).Text("stsc").Fill(8, 0).Text("stsz").Fill(12, 0);
  const Bytes ftyp = Bytes::Box("ftyp", Bytes{}.Text("M4A ").U32(0).Text("M4A mp42isom"));
  test::WriteFile(dir.File("sample.m4a"), Bytes(ftyp).Append(Bytes::Box("mdat", tables)));
  return dir.File("sample.m4a");
}

std::string VideoOnlySample(const TempDir& dir) {
  const std::string path = dir.File("sample.m4a");
  EXPECT_EQ(test::Run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=duration=1:size=64x64 "
                      "-c:v mpeg4 -brand \"M4A \" " +
                      test::Quote(path)),
            0);
  return path;
}

const std::vector<Row> kRows = {
    {"SampleFfmpegCannotOpen",
     UnopenableSample,
     Output,
     ORVM4A_ERR_MEDIA,
     {">>[!] The file cant't open :Invalid data found when processing input", "fix failed! -4046"}},
    {"SampleWithoutAudio",
     VideoOnlySample,
     Output,
     ORVM4A_ERR_MEDIA,
     {">>[!] Could not find audio stream in the input file", "fix failed! -4046"}},
    {"OutputDirectoryMissing",
     HealthySample,
     [](const TempDir& dir) { return dir.File("missing/fixed.m4a"); },
     ORVM4A_ERR_INTERMEDIATE,
     {">>[!] Can't create the intermediate file: <dir>/missing/tmp.pcm", "fix failed! -4050"}},
    {"OutputPathWithAQuote",
     HealthySample,
     [](const TempDir& dir) { return dir.File("say \"hi\".m4a"); },
     ORVM4A_ERR_TRANSCODER_ARGS,
     {">>[!] The path cannot be passed to ffmpeg: <dir>/say \"hi\".m4a", "fix failed! -4052"}},
    {"OutputPathEndingInABackslash",
     HealthySample,
     [](const TempDir& dir) { return dir.File("fixed\\"); },
     ORVM4A_ERR_TRANSCODER_ARGS,
     {">>[!] The path cannot be passed to ffmpeg: <dir>/fixed\\", "fix failed! -4052"}},
    {"OutputPathTooLongForTheTool",
     HealthySample,
     [](const TempDir& dir) {
       return dir.File(std::string(240, 'o') + "/" + std::string(200, 'o'));
     },
     ORVM4A_ERR_TRANSCODER_ARGS,
     {">>[!] The ffmpeg parameters are too long: <units> UTF-16 units", "fix failed! -4052"}},
    {"OutputPathNotUtf8",
     HealthySample,
     [](const TempDir& dir) { return dir.File("\xC3.m4a"); },
     ORVM4A_ERR_PATH_ENCODING,
     {">>[!] A path is not valid UTF-8", "fix failed! -4049"}},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class AdvanceRepairRowTest : public AdvanceRepairTest, public testing::WithParamInterface<Row> {};

TEST_P(AdvanceRepairRowTest, FailsInOrderAndLeavesNothingBehind) {
  const Recordings& r = Stereo();
  const std::string sample = GetParam().sample(work_);
  const std::string output = GetParam().output(work_);
  const auto before = Snapshot(work_.path());
  const std::uint64_t damagedHash = test::HashFile(r.damaged);

  EXPECT_EQ(OrvM4aAdvanceRepair(r.damaged.c_str(), sample.c_str(), output.c_str()),
            GetParam().expected);
  std::vector<std::string> expected = {"corrupt: " + r.damaged + ", sample: " + sample};
  for (std::string line : GetParam().lines) {
    if (auto at = line.find("<dir>"); at != std::string::npos) {
      line.replace(at, 5, work_.path().string());
    }
    if (auto at = line.find("<units>"); at != std::string::npos) {
      // Everything but the paths takes 55 units at a five-digit rate.
      const std::size_t pcmPath = fs::path(output).parent_path().string().size() + 8;
      line.replace(at, 7, std::to_string(55 + pcmPath + output.size()));
    }
    expected.push_back(line);
  }
  EXPECT_EQ(Messages(), expected);
  EXPECT_EQ(Snapshot(work_.path()), before);
  EXPECT_EQ(test::HashFile(r.damaged), damagedHash);
}

INSTANTIATE_TEST_SUITE_P(Failures, AdvanceRepairRowTest, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmend
