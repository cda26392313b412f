// Faults of the file system and of the transcoder, made through the Env seam, and a stop asked
// for by the host: each repair's code, its log, and what it leaves in the output directory.
#include <algorithm>
#include <set>

#include "io/cancel.h"
#include "support/fake_env.h"
#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::FakeEnv;
using test::Lines;

// Says "stop" from the n-th ask on; a negative n never does.
bool StopAtAsk(void* user) {
  int& n = *static_cast<int*>(user);
  if (n > 0) --n;
  return n == 0;
}

struct Row {
  const char* name;
  bool advanced;
  std::function<void(FakeEnv&, int& stopAt)> fault;
  int32_t code;
  Lines lines;                 // after the entry line; <out> is the output directory
  std::set<std::string> left;  // in the output directory afterwards
  int spawns;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

std::string Text(std::errc error) { return std::make_error_code(error).message(); }
const std::string kNoSpace = Text(std::errc::no_space_on_device);
const Lines kStopped = {">>[!] The repair was stopped on request", "fix failed! -4057"};

const Row kRows[] = {
    {"DiskFullPartWayThroughTheAdts", false, [](auto& env, auto&) { env.failAppendAfter = 40; },
     ORVM4A_ERR_WRITE,
     {">>[!] Save adts error",
      ">>[!] Can't write the intermediate file: <out>/tmp.adts (" + kNoSpace + ")",
      "fix failed! -4055"},
     {},
     0},
    {"AdtsCloseFails", false, [](auto& env, auto&) { env.failClose = true; }, ORVM4A_ERR_WRITE,
     {">>[!] Can't write the intermediate file: <out>/tmp.adts (" + Text(std::errc::io_error) + ")",
      "fix failed! -4055"},
     {},
     0},
    {"DiskFullPartWayThroughThePcm", true, [](auto& env, auto&) { env.failAppendAfter = 40; },
     ORVM4A_ERR_WRITE,
     {">>[!] Can't write the intermediate file: <out>/tmp.pcm (" + kNoSpace + ")",
      "fix failed! -4055"},
     {},
     0},
    {"StaleFileCannotBeRemoved", false,
     [](auto& env, auto&) { env.failRemove = std::make_error_code(std::errc::permission_denied); },
     ORVM4A_ERR_INTERMEDIATE,
     {">>[!] filesystem error: cannot remove: " + Text(std::errc::permission_denied) +
          " [<out>/tmp.adts]",
      "fix failed! -4050"},
     {},
     0},
    // Between the removal of a stale file and the creation a link appears there: it is refused,
    // and what it points to is not written.
    {"ALinkAppearsAtTheIntermediatePath", true,
     [](auto& env, auto&) {
       env.beforeCreate = [](const fs::path& path) {
         test::WriteFile(path.parent_path() / "victim", test::Bytes{}.Text("keep"));
#ifdef _WIN32
         fs::create_hard_link(path.parent_path() / "victim", path);
#else
         fs::create_symlink("victim", path);
#endif
       };
     },
     ORVM4A_ERR_INTERMEDIATE,
     {">>[!] Can't create the intermediate file: <out>/tmp.pcm (" +
          Text(std::errc::file_exists) + ")",
      "fix failed! -4050"},
     {"tmp.pcm", "victim"},
     0},
    {"TranscoderNotStarted", true, [](auto& env, auto&) { env.child = ChildOutcome{}; },
     ORVM4A_ERR_TRANSCODER, {"fix failed! -4048"}, {"tmp.pcm"}, 1},
    {"TranscoderExitsWithAnError", true,
     [](auto& env, auto&) { env.child = ChildOutcome{true, 1, false}; },
     ORVM4A_ERR_TRANSCODER_FAILED, {"ffmpeg exited with code 1", "fix failed! -4056"}, {"tmp.pcm"},
     1},
    {"TranscoderKilled", true, [](auto& env, auto&) { env.child = ChildOutcome{true, 137, false}; },
     ORVM4A_ERR_TRANSCODER_FAILED, {"ffmpeg exited with code 137", "fix failed! -4056"},
     {"tmp.pcm"}, 1},
    // An interrupted repair, while it extracts or decodes, or while the real tool runs, which
    // is then ended: nothing of it stays.
    {"StoppedWhileExtracting", false, [](auto&, int& stopAt) { stopAt = 1; },
     ORVM4A_ERR_CANCELLED, kStopped, {}, 0},
    {"StoppedWhileDecoding", true, [](auto&, int& stopAt) { stopAt = 1; }, ORVM4A_ERR_CANCELLED,
     kStopped, {}, 0},
    {"StoppedWhileTheTranscoderRuns", true,
     [](auto& env, int& stopAt) { env.onSpawn = [&stopAt] { stopAt = 1; }; },
     ORVM4A_ERR_CANCELLED, kStopped, {}, 1},
};

class FaultTest : public test::LogTest, public testing::WithParamInterface<Row> {};

TEST_P(FaultTest, ReturnsItsCodeAndLeavesNothingHalfWritten) {
  const Row& row = GetParam();
  test::TempDir dir;
  const std::string damaged = test::Media("recorder-cut.m4a");
  const std::string sample = test::Media("recorder-sample.m4a");
  const std::string output = dir.File("fixed.m4a");
  FakeEnv env;
  int stopAt = -1;
  row.fault(env, stopAt);
  int32_t code;
  {
    ScopedEnv scopedEnv(&env);
    ScopedStopQuestion question(StopAtAsk, &stopAt);
    code = row.advanced ? OrvM4aAdvanceRepair(damaged.c_str(), sample.c_str(), output.c_str())
                        : OrvM4aGeneralRepair(damaged.c_str(), output.c_str());
  }
  EXPECT_EQ(code, row.code);
  Lines lines = {"corrupt: " + damaged + (row.advanced ? ", sample: " + sample : "")};
  for (std::string line : row.lines) {
#ifdef _WIN32
    std::replace(line.begin(), line.end(), '/', '\\');
#endif
    if (const auto at = line.find("<out>"); at != std::string::npos) {
      line.replace(at, 5, test::U8(dir.path()));
    }
    lines.push_back(line);
  }
  EXPECT_EQ(Messages(), lines);
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    left.insert(test::U8(entry.path().filename()));
  }
  if (row.spawns > 0 && !env.child) left.erase("fixed.m4a");  // the tool may have begun it
  EXPECT_EQ(left, row.left);
  if (left.contains("victim")) {
    EXPECT_EQ(test::ReadFile(dir.path() / "victim").size(), 4u);
  }
  EXPECT_EQ(env.spawns, row.spawns);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

class LogEscapeTest : public test::LogTest {};

// A file name cannot forge a log line: the control characters in a path are written out.
TEST_F(LogEscapeTest, ControlCharactersInPathsAreWrittenOut) {
  EXPECT_EQ(OrvM4aGeneralRepair("/no/a\n2026-12-06 [error] forged\r\t\x7F\xC2\x85\xE2\x80\xA8.m4a",
                                "/no/out.m4a"),
            ORVM4A_ERR_MAP);
  EXPECT_EQ(Messages(),
            (Lines{"corrupt: /no/a<0A>2026-12-06 [error] forged<0D><09><7F><U+0085><U+2028>.m4a",
                   ">>[!] The file Mapping filed", "map failed! -4042"}));
}

}  // namespace
}  // namespace quillmend
