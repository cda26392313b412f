// The tool stopped by a signal during an advanced repair: nothing left, no ffmpeg child alive.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

#include "cli_test.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;

// Ten minutes of the test recording with its moov cut off, made once per run.
std::string LongRecording() {
  const fs::path path = fs::path(test::Media("recorder.m4a")).parent_path() / "long-cut.m4a";
  const std::string part = path.string() + std::to_string(::getpid()) + ".m4a";
  if (!fs::exists(path)) {
    test::Run("ffmpeg -nostdin -v error -y -stream_loop -1 -t 600 -i " +
              test::Media("recorder.m4a") + " -c copy " + part);
    test::WriteFile(part, test::CutBefore(test::ReadFile(part), "moov"));
    fs::rename(part, path);
  }
  return path;
}

// "pid (name) state parent ..." of a process, "" when it is gone.
std::string Stat(const std::string& pid) {
  std::string line;
  std::getline(std::ifstream("/proc/" + pid + "/stat"), line);
  return line;
}

bool Running(const std::string& pid) {  // a zombie has ended: whoever adopted it reaps it
  const std::string stat = Stat(pid);
  return !stat.empty() && stat[stat.rfind(')') + 2] != 'Z';
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

TEST(CliStopTest, NothingLeftAndNoFfmpegChildAfterSigtermOrSigkill) {
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    test::TempDir work;
    std::vector<std::string> arguments{
        test::kCli,    "repair",         "--method",
        "advanced",    "--sample",       test::Media("recorder-sample.m4a"),
        "--out-dir",   work.File("out"), "--log-dir",
        work.File(""), LongRecording()};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    for (int fd : {1, 2}) posix_spawn_file_actions_addopen(&quiet, fd, "/dev/null", O_WRONLY, 0);
    pid_t tool = 0;
    ASSERT_EQ(posix_spawn(&tool, argv[0], &quiet, nullptr, argv.data(), nullptr), 0);
    posix_spawn_file_actions_destroy(&quiet);
    std::vector<std::string> ffmpeg;
    int status = 0;
    for (int i = 0; i < 1200 && ffmpeg.empty(); ++i) {  // until it runs its ffmpeg child
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ASSERT_EQ(::waitpid(tool, &status, WNOHANG), 0) << "ended early: " << status;
      ffmpeg = FfmpegChildren(tool);
    }
    ASSERT_FALSE(ffmpeg.empty());
    ::kill(tool, signal);
    ::waitpid(tool, &status, 0);
    if (signal == SIGTERM) {
      EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 143);
      EXPECT_EQ(test::List(work.path() / "out"), std::set<std::string>{});
    }
    for (const std::string& pid : ffmpeg) {
      for (int i = 0; i < 100 && Running(pid); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      EXPECT_FALSE(Running(pid)) << Stat(pid);
    }
  }
}

}  // namespace
}  // namespace quillmend
