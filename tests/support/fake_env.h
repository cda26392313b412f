#pragma once
// An Env that hands every call to the real one and counts the calls that can fail: the one
// numbered `failAt` (from 0) fails as the system would fail it, and no other. Running a repair
// with failAt = 0, 1, 2, ... until a run meets no fault reaches every failure a repair can meet
// on its writing side, one at a time.
#include <filesystem>
#include <optional>
#include <string>

#include "io/env.h"

namespace quillmend::test {

class FakeEnv : public Env {
 public:
  enum class Call {
    kCreate,
    kAppend,
    kFlush,
    kClose,
    kRename,
    kRemove,
    kMakeDirectory,
    kList,
    kFreeSpace,
    kSpawn
  };
  struct Fault {
    Call call;
    std::filesystem::path path;
    bool afterRename;  // a rename had put something in place before it
  };

  explicit FakeEnv(long failAt = -1, bool childRuns = false)
      : failAt_(failAt), childRuns_(childRuns) {}

  // The fault made, if the run reached call `failAt`.
  const std::optional<Fault>& Met() const { return fault_; }

  std::error_code CreateExclusive(const std::filesystem::path& path,
                                  std::unique_ptr<WritableFile>* file) override {
    if (Fails(Call::kCreate, path)) return Error(std::errc::permission_denied);
    std::unique_ptr<WritableFile> real;
    if (std::error_code error = Default()->CreateExclusive(path, &real)) return error;
    *file = std::make_unique<File>(std::move(real), *this, path);
    return {};
  }
  std::error_code Remove(const std::filesystem::path& path) override {
    if (Fails(Call::kRemove, path)) return Error(std::errc::permission_denied);
    return Default()->Remove(path);
  }
  std::error_code Rename(const std::filesystem::path& from, const std::filesystem::path& to,
                         bool replace) override {
    if (Fails(Call::kRename, to)) return Error(std::errc::permission_denied);
    const std::error_code error = Default()->Rename(from, to, replace);
    renamed_ = renamed_ || !error;
    return error;
  }
  std::error_code MakePrivateDirectory(const std::filesystem::path& parent,
                                       const std::string& prefix,
                                       std::filesystem::path* made) override {
    if (Fails(Call::kMakeDirectory, parent)) return Error(std::errc::permission_denied);
    return Default()->MakePrivateDirectory(parent, prefix, made);
  }
  // A failed spawn either starts nothing, or, with childRuns, lets the child run (and write what
  // it writes) and reports that it failed.
  ChildOutcome Spawn(const std::filesystem::path& program,
                     const std::vector<std::string>& arguments) override {
    if (!Fails(Call::kSpawn, program)) return Default()->Spawn(program, arguments);
    return childRuns_ ? Failed(Default()->Spawn(program, arguments)) : ChildOutcome{};
  }
  ChildOutcome SpawnWithParameters(const std::filesystem::path& program,
                                   std::u16string_view parameters) override {
    if (!Fails(Call::kSpawn, program)) return Default()->SpawnWithParameters(program, parameters);
    return childRuns_ ? Failed(Default()->SpawnWithParameters(program, parameters))
                      : ChildOutcome{};
  }
  // Once a write has failed for want of space, the disk stays full; a failed call here finds
  // it full too.
  std::error_code FreeSpace(const std::filesystem::path& directory,
                            std::uint64_t* available) override {
    if (Fails(Call::kFreeSpace, directory) || full_) {
      *available = 0;
      return {};
    }
    return Default()->FreeSpace(directory, available);
  }
  std::error_code List(const std::filesystem::path& directory, std::size_t limit,
                       std::vector<std::filesystem::path>* names) override {
    if (Fails(Call::kList, directory)) {
      names->clear();
      return Error(std::errc::permission_denied);
    }
    return Default()->List(directory, limit, names);
  }

 private:
  struct File : WritableFile {
    File(std::unique_ptr<WritableFile> real, FakeEnv& env, std::filesystem::path path)
        : real(std::move(real)), env(env), path(std::move(path)) {}
    std::error_code Append(const void* data, std::size_t size) override {
      if (env.Fails(Call::kAppend, path)) {
        env.full_ = true;
        return Error(std::errc::no_space_on_device);
      }
      return real->Append(data, size);
    }
    std::error_code Seek(std::uint64_t offset) override { return real->Seek(offset); }
    std::error_code Flush() override {
      return env.Fails(Call::kFlush, path) ? Error(std::errc::io_error) : real->Flush();
    }
    // A failed close still closes, as the system's does; it is one call, however often made.
    std::error_code Close() override {
      if (!closed) {
        const bool fails = env.Fails(Call::kClose, path);
        const std::error_code error = real->Close();
        closed = fails ? Error(std::errc::io_error) : error;
      }
      return *closed;
    }
    std::unique_ptr<WritableFile> real;
    FakeEnv& env;
    std::filesystem::path path;
    std::optional<std::error_code> closed;
  };

  static std::error_code Error(std::errc error) { return std::make_error_code(error); }
  static ChildOutcome Failed(ChildOutcome outcome) {
    if (outcome.started && !outcome.stopped) outcome.exitCode = 1;
    return outcome;
  }
  bool Fails(Call call, const std::filesystem::path& path) {
    if (calls_++ != failAt_) return false;
    fault_ = Fault{call, path, renamed_};
    return true;
  }

  long failAt_;
  bool childRuns_;
  long calls_ = 0;
  bool renamed_ = false;
  bool full_ = false;
  std::optional<Fault> fault_;
};

}  // namespace quillmend::test
