#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/utf8.h"
#include "process.h"

extern char** environ;

namespace quillmend {
namespace {

inline constexpr char kNullDevice[] = "/dev/null";

// Owns the two attribute objects of one spawn.
class SpawnSetup {
 public:
  SpawnSetup() {
    actionsReady_ = posix_spawn_file_actions_init(&actions_) == 0;
    attributesReady_ = posix_spawnattr_init(&attributes_) == 0;
  }
  ~SpawnSetup() {
    if (attributesReady_) posix_spawnattr_destroy(&attributes_);
    if (actionsReady_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Hidden: no input (a tool that asks would otherwise wait on the host's terminal), output and
  // errors discarded. A signal mask the host set for its own threads is not handed on, so the
  // tool can still be interrupted.
  bool Prepare() {
    if (!actionsReady_ || !attributesReady_) return false;
    sigset_t empty;
    sigemptyset(&empty);
    return posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, kNullDevice, O_RDONLY, 0) ==
               0 &&
           posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, kNullDevice, O_WRONLY, 0) ==
               0 &&
           posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, STDERR_FILENO) == 0 &&
           posix_spawnattr_setsigmask(&attributes_, &empty) == 0 &&
           posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK) == 0;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  bool actionsReady_ = false;
  bool attributesReady_ = false;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

}  // namespace

const char16_t kTranscoderToolName[] = u"ffmpeg";

std::u16string GetExecutableDirectory() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  path.resize(slash);
  return Utf8ToWide(path);
}

ProcessOutcome RunHidden(std::u16string_view toolPath, std::u16string_view parameters) {
  const std::string program = WideToUtf8(toolPath);
  std::vector<std::string> arguments{program};
  for (const std::u16string& argument : SplitCommandLine(parameters)) {
    arguments.push_back(WideToUtf8(argument));
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  SpawnSetup setup;
  if (!setup.Prepare()) return {};
  pid_t child = 0;
  // posix_spawn, not posix_spawnp: the tool is the one beside the host, never one on the PATH.
  // glibc reports a failed exec (missing file, no permission) here, before anything runs.
  if (posix_spawn(&child, program.c_str(), setup.actions(), setup.attributes(), argv.data(),
                  environ) != 0) {
    return {};
  }

  ProcessOutcome outcome{true, 0};
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  // A host that ignores SIGCHLD has its children reaped for it: the tool has ended, but its
  // status is gone.
  if (waited == child) {
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.exitCode = 128 + WTERMSIG(status);
  }
  return outcome;
}

}  // namespace quillmend
