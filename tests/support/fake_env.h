#pragma once
// An Env that hands every call to the real one, except the faults that a test sets.
#include <functional>
#include <optional>

#include "io/env.h"

namespace quillmend::test {

class FakeEnv : public Env {
 public:
  int failAppendAfter = -1;  // appends after this many fail with "no space"; -1: never
  bool failClose = false;    // closes fail with an I/O error, after really closing
  std::optional<std::error_code> failRemove;
  std::function<void(const std::filesystem::path&)> beforeCreate;  // e.g. a link appears there
  std::optional<ChildOutcome> child;  // what a spawn reports instead of running anything
  std::function<void()> onSpawn;      // runs before a real spawn
  int spawns = 0;

  std::error_code CreateExclusive(const std::filesystem::path& path,
                                  std::unique_ptr<WritableFile>* file) override {
    if (beforeCreate) beforeCreate(path);
    std::unique_ptr<WritableFile> real;
    if (std::error_code error = Default()->CreateExclusive(path, &real)) return error;
    *file = std::make_unique<File>(std::move(real), *this);
    return {};
  }
  std::error_code Remove(const std::filesystem::path& path) override {
    return failRemove ? *failRemove : Default()->Remove(path);
  }
  std::error_code Rename(const std::filesystem::path& from, const std::filesystem::path& to,
                         bool replace) override {
    return Default()->Rename(from, to, replace);
  }
  std::error_code MakePrivateDirectory(const std::filesystem::path& parent,
                                       const std::string& prefix,
                                       std::filesystem::path* made) override {
    return Default()->MakePrivateDirectory(parent, prefix, made);
  }
  ChildOutcome Spawn(const std::filesystem::path& program,
                     const std::vector<std::string>& arguments) override {
    ++spawns;
    if (onSpawn) onSpawn();
    return child ? *child : Default()->Spawn(program, arguments);
  }

 private:
  struct File : WritableFile {
    File(std::unique_ptr<WritableFile> real, FakeEnv& env) : real(std::move(real)), env(env) {}
    std::error_code Append(const void* data, std::size_t size) override {
      if (env.failAppendAfter >= 0 && appends++ >= env.failAppendAfter) {
        return std::make_error_code(std::errc::no_space_on_device);
      }
      return real->Append(data, size);
    }
    std::error_code Flush() override { return real->Flush(); }
    std::error_code Close() override {
      const std::error_code error = real->Close();
      return env.failClose ? std::make_error_code(std::errc::io_error) : error;
    }
    std::unique_ptr<WritableFile> real;
    FakeEnv& env;
    int appends = 0;
  };
};

}  // namespace quillmend::test
