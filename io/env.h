#pragma once
// Every file and process operation that a repair's writing side performs, behind one small
// interface, so that tests can make any one of them fail ("the disk fills at the 40th write",
// "the rename fails", "the transcoder dies", "a link appears there") without special files or
// permission tricks. Env::Default() is the real one; a test installs another for its own thread
// with ScopedEnv.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace quillmend {

// The calling thread's last error from the operating system (errno, or GetLastError).
std::error_code LastSystemError();

// A file opened for writing by Env::CreateExclusive. Every call reports the operating system's
// own error; after a failed Append the file's contents are unspecified.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  virtual std::error_code Append(const void* data, std::size_t size) = 0;
  // Moves where the next Append writes to `offset` bytes from the file's start, for formats
  // whose writer goes back to fill in a size once it knows it. Past the end, the gap reads as
  // zeros.
  virtual std::error_code Seek(std::uint64_t offset) = 0;
  virtual std::error_code Flush() = 0;
  // Closes once; later calls return the first call's result.
  virtual std::error_code Close() = 0;
};

// How one run of a child process ended.
struct ChildOutcome {
  bool started = false;  // false: nothing ran
  int exitCode = 0;      // 128 + the signal when a signal ended it
  bool stopped = false;  // the run was cut short because the caller asked to stop
};

// What Env::Stat tells of a path.
struct FileInfo {
  enum class Kind : std::uint8_t { kNone, kRegular, kDirectory, kLink, kOther };
  Kind kind = Kind::kNone;
  std::uint64_t size = 0;     // of a regular file
  std::int64_t modified = 0;  // seconds on the file system's clock, for ordering only
};

class Env {
 public:
  virtual ~Env() = default;

  // The real operating system. Never null, never destroyed.
  static Env* Default();

  // Creates a new file for writing, readable and writable by its owner only (and the umask).
  // Fails with std::errc::file_exists when anything is at the path already, a link or a
  // dangling link included: it neither follows links nor truncates.
  virtual std::error_code CreateExclusive(const std::filesystem::path& path,
                                          std::unique_ptr<WritableFile>* file) = 0;
  // Removes a file or an empty directory; a missing one is no error. Never follows a link.
  virtual std::error_code Remove(const std::filesystem::path& path) = 0;
  // Renames within one file system. With replace false it fails with file_exists instead of
  // replacing what is at `to`. A link at `to` is replaced, never written through.
  virtual std::error_code Rename(const std::filesystem::path& from, const std::filesystem::path& to,
                                 bool replace) = 0;
  // Makes a new directory inside `parent`, named `prefix` and random characters, that only its
  // owner may enter; *made receives its path.
  virtual std::error_code MakePrivateDirectory(const std::filesystem::path& parent,
                                               const std::string& prefix,
                                               std::filesystem::path* made) = 0;
  // Runs a program with these arguments (argv[0] included) hidden: no input, output discarded.
  // The child dies with the calling process. While it runs, ShouldStop() is asked now and then;
  // when it says so the child is ended and `stopped` is set.
  virtual ChildOutcome Spawn(const std::filesystem::path& program,
                             const std::vector<std::string>& arguments) = 0;
  // The same with the arguments (argv[0] left out) as one parameter text, which Windows hands
  // to the program whole; elsewhere it is split by the Windows rules (SplitCommandLine) and
  // passed to Spawn.
  virtual ChildOutcome SpawnWithParameters(const std::filesystem::path& program,
                                           std::u16string_view parameters);

  // What is at `path`: a missing path is kind kNone and no error. With followLinks false a
  // link is reported as kLink.
  virtual std::error_code Stat(const std::filesystem::path& path, FileInfo* info,
                               bool followLinks = true);
  // The bytes free for this user on the file system that holds `directory`.
  virtual std::error_code FreeSpace(const std::filesystem::path& directory,
                                    std::uint64_t* available);
  // The names in a directory, at most `limit` of them, in no particular order.
  virtual std::error_code List(const std::filesystem::path& directory, std::size_t limit,
                               std::vector<std::filesystem::path>* names);
  // Whether two paths name one file, by any name or link; false when either is missing.
  virtual bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);
};

// The Env in force on the calling thread: the one a ScopedEnv installed, else Env::Default().
Env* CurrentEnv();

// Installs `env` for the calling thread for the scope's life time (tests).
class ScopedEnv {
 public:
  explicit ScopedEnv(Env* env);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Env* previous_;
};

}  // namespace quillmend
