#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <random>
#include <thread>

#include "cancel.h"
#include "env.h"

namespace quillmend {

std::error_code LastSystemError() { return {errno, std::generic_category()}; }

namespace {

namespace fs = std::filesystem;

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  ~PosixWritableFile() override { Close(); }

  std::error_code Append(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t written = ::write(fd_, bytes, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        return LastSystemError();
      }
      bytes += written;
      size -= static_cast<std::size_t>(written);
    }
    return {};
  }
  std::error_code Seek(std::uint64_t offset) override {
    if (offset > std::uint64_t(std::numeric_limits<off_t>::max())) {
      return std::make_error_code(std::errc::file_too_large);
    }
    return ::lseek(fd_, off_t(offset), SEEK_SET) < 0 ? LastSystemError() : std::error_code{};
  }
  // Writes go straight to the descriptor; there is no buffer of ours to flush.
  std::error_code Flush() override { return {}; }
  std::error_code Close() override {
    if (fd_ >= 0) {
      // Don't retry close on EINTR: the descriptor is gone either way on Linux.
      if (::close(fd_) != 0) closeError_ = LastSystemError();
      fd_ = -1;
    }
    return closeError_;
  }

 private:
  int fd_;
  std::error_code closeError_;
};

class PosixEnv final : public Env {
 public:
  std::error_code CreateExclusive(const fs::path& path,
                                  std::unique_ptr<WritableFile>* file) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) return LastSystemError();
    *file = std::make_unique<PosixWritableFile>(fd);
    return {};
  }

  std::error_code Remove(const fs::path& path) override {
    std::error_code error;
    fs::remove(path, error);
    return error;
  }

  std::error_code Rename(const fs::path& from, const fs::path& to, bool replace) override {
    if (replace)
      return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code{} : LastSystemError();
    // A hard link fails when anything is at `to`, atomically; the old name then goes.
    if (::link(from.c_str(), to.c_str()) != 0) return LastSystemError();
    ::unlink(from.c_str());
    return {};
  }

  std::error_code MakePrivateDirectory(const fs::path& parent, const std::string& prefix,
                                       fs::path* made) override {
    std::string pattern = (parent / (prefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) return LastSystemError();
    *made = pattern;
    return {};
  }

  ChildOutcome Spawn(const fs::path& program, const std::vector<std::string>& arguments) override {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The child reports a failed exec through a pipe that a successful exec closes.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return {};
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
      ::close(report[0]);
      ::close(report[1]);
      return {};
    }
    if (child == 0) {
      // The child must not outlive us, even when we are killed outright.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      // A signal mask the host set for its own threads is not handed on.
      sigset_t none;
      ::sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const int null = ::open("/dev/null", O_RDWR);
      if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
      }
      ::execv(program.c_str(), argv.data());
      const int error = errno;
      [[maybe_unused]] const ssize_t n = ::write(report[1], &error, sizeof error);
      ::_exit(127);
    }
    ::close(report[1]);
    int execError = 0;
    ssize_t got;
    do {
      got = ::read(report[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    ChildOutcome outcome;
    outcome.started = got <= 0;
    int status = 0;
    for (;;) {
      const pid_t done = ::waitpid(child, &status, WNOHANG);
      if (done == child) break;
      if (done < 0 && errno != EINTR) return outcome;
      if (!outcome.stopped && ShouldStop()) {
        outcome.stopped = true;
        ::kill(child, SIGKILL);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.exitCode = 128 + WTERMSIG(status);
    return outcome;
  }
};

}  // namespace

Env* Env::Default() {
  static PosixEnv* env = new PosixEnv;  // never destroyed: threads may still use it at exit
  return env;
}

}  // namespace quillmend
