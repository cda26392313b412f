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

// "pid (name) state parent ..." of a process, "" once it is gone.
std::string Stat(const std::string& pid) {
  std::string line;
  std::getline(std::ifstream("/proc/" + pid + "/stat"), line);
  return line;
}

// Whether a process still runs after a moment to end (a zombie has ended).
bool Running(const std::string& pid) {
  for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    const std::string stat = Stat(pid);
    if (stat.empty() || stat[stat.rfind(')') + 2] == 'Z') return false;
  }
  return true;
}

// Starts an advanced repair of ten minutes of audio into work/out and sends it `signal` once it
// runs its ffmpeg child. Returns its wait status; the child must not outlive it.
int StopDuringAdvancedRepair(int signal, const test::TempDir& work) {
  const std::string damaged = work.File("long.m4a");
  test::Run("ffmpeg -nostdin -v error -stream_loop -1 -t 600 -i " + test::Media("recorder.m4a") +
            " -c copy " + damaged);
  test::WriteFile(damaged, test::CutBefore(test::ReadFile(damaged), "moov"));
  std::vector<std::string> arguments{test::kCli,
                                     "repair",
                                     "--method=advanced",
                                     "--sample=" + test::Media("recorder-sample.m4a"),
                                     "--out-dir=" + work.File("out"),
                                     "--log-dir=" + work.File(""),
                                     damaged};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  for (int fd : {1, 2}) posix_spawn_file_actions_addopen(&quiet, fd, "/dev/null", O_WRONLY, 0);
  pid_t tool = 0;
  int status = -1;
  const int spawned = posix_spawn(&tool, argv[0], &quiet, nullptr, argv.data(), nullptr);
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return status;
  std::vector<std::string> ffmpeg;
  for (int i = 0; i < 1200 && ffmpeg.empty() && ::waitpid(tool, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string pid = entry.path().filename(), stat = Stat(pid);
      if (stat.find(" (ffmpeg) ") != std::string::npos &&
          std::stoi(stat.substr(stat.rfind(')') + 4)) == tool) {
        ffmpeg.push_back(pid);
      }
    }
  }
  EXPECT_FALSE(ffmpeg.empty()) << "no ffmpeg child seen";
  ::kill(tool, signal);
  ::waitpid(tool, &status, 0);
  for (const std::string& pid : ffmpeg) EXPECT_FALSE(Running(pid)) << Stat(pid);
  return status;
}

TEST(CliStopTest, SigtermLeavesNothingAndEndsTheFfmpegChild) {
  test::TempDir work;
  const int status = StopDuringAdvancedRepair(SIGTERM, work);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 143);
  EXPECT_EQ(test::List(work.path() / "out"), std::set<std::string>{});
}

TEST(CliStopTest, SigkillTakesTheFfmpegChildAlong) {
  test::TempDir work;
  EXPECT_TRUE(WIFSIGNALED(StopDuringAdvancedRepair(SIGKILL, work)));
}

}  // namespace
}  // namespace quillmend
