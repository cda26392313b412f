// The tool stopped by a signal: it removes what it made and leaves no ffmpeg child behind.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "cli_test.h"

extern char** environ;

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::kCli;

// Ten minutes of the test recording, its moov cut off; made once per run.
std::string LongRecording() {
  const fs::path path = fs::path(test::Media("recorder.m4a")).parent_path() / "long-cut.m4a";
  if (fs::exists(path)) return path;
  const fs::path part = path.string() + "." + std::to_string(::getpid()) + ".m4a";
  test::Run("ffmpeg -nostdin -v error -y -stream_loop -1 -i " + test::Media("recorder.m4a") +
            " -t 600 -c copy " + part.string());
  test::WriteFile(part, test::CutBefore(test::ReadFile(part), "moov"));
  fs::rename(part, path);
  return path;
}

// "pid (name) state parent ..." of a process; "" when it is gone.
std::string Stat(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string line;
  std::getline(in, line);
  return line;
}

std::vector<std::string> FfmpegChildren(pid_t parent) {
  std::vector<std::string> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename(), stat = Stat(pid);
    if (stat.find(" (ffmpeg) ") != std::string::npos &&
        std::stoi(stat.substr(stat.rfind(')') + 4)) == parent) {
      children.push_back(pid);
    }
  }
  return children;
}

bool Running(const std::string& pid) {
  const std::string stat = Stat(pid);
  return !stat.empty() && stat[stat.rfind(')') + 2] != 'Z';  // a zombie has ended
}

class CliStopTest : public testing::Test {
 protected:
  // Starts an advanced repair of a long recording and waits until it runs its ffmpeg child.
  void StartRepair() {
    std::vector<std::string> arguments{
        kCli,           "repair",       "--method",
        "advanced",     "--sample",     test::Media("recorder-sample.m4a"),
        "--out-dir",    test::U8(out_), "--log-dir",
        logs_.File(""), LongRecording()};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    for (int fd : {1, 2}) posix_spawn_file_actions_addopen(&quiet, fd, "/dev/null", O_WRONLY, 0);
    ASSERT_EQ(posix_spawn(&tool_, kCli.c_str(), &quiet, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&quiet);
    int status = 0;
    for (int i = 0; i < 1200 && ffmpeg_.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ASSERT_EQ(::waitpid(tool_, &status, WNOHANG), 0) << "ended with status " << status;
      ffmpeg_ = FfmpegChildren(tool_);
    }
    ASSERT_FALSE(ffmpeg_.empty()) << "no ffmpeg child seen";
  }
  int Stop(int signal) {
    ::kill(tool_, signal);
    int status = 0;
    ::waitpid(tool_, &status, 0);
    return status;
  }
  test::TempDir work_, logs_;
  const fs::path out_ = work_.path() / "out";
  pid_t tool_ = 0;
  std::vector<std::string> ffmpeg_;
};

TEST_F(CliStopTest, SigtermRemovesWhatItMadeAndEndsItsFfmpegChild) {
  StartRepair();
  const int status = Stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 143);
  EXPECT_EQ(test::List(out_), std::set<std::string>{});
  for (const std::string& pid : ffmpeg_) EXPECT_FALSE(Running(pid)) << Stat(pid);
}

TEST_F(CliStopTest, SigkillTakesTheFfmpegChildAlong) {
  StartRepair();
  EXPECT_TRUE(WIFSIGNALED(Stop(SIGKILL)));
  for (const std::string& pid : ffmpeg_) {
    for (int i = 0; i < 200 && Running(pid); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(Running(pid)) << Stat(pid);
  }
}

TEST(CliLogTest, DefaultFolderAndAWarningWhenItCannotBeMade) {
  test::TempDir state;
  const std::string repair = test::Quote(kCli) + " repair --method general -o " +
                             state.File("out.m4a") + " " + test::Media("recorder-cut.m4a");
  EXPECT_EQ(test::Run("env XDG_STATE_HOME=" + test::U8(state.path()) + " " + repair), 0);
  EXPECT_TRUE(fs::exists(state.path() / "quillmend" / "quillmend_sdk.log"));
  std::string out;
  EXPECT_EQ(test::Run(repair + " -y --log-dir /dev/null/log 2>&1", &out), 0);
  EXPECT_NE(out.find("warning: cannot make the log folder /dev/null/log"), std::string::npos);
}

}  // namespace
}  // namespace quillmend
