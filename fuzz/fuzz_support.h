#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/repair_context.h"

namespace quillmend::fuzz {

// A directory of its own for the scratch files of one fuzzing process, removed at exit. It lies
// in /dev/shm when there is one: every input is written to a file and mapped, as the library
// maps its inputs, and that should not wait for a disk.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string Path(const char* name) const { return directory_ + "/" + name; }
  // Writes the bytes to a fresh file of that name and returns its path.
  std::string Write(const char* name, const std::uint8_t* data, std::size_t size) const;

 private:
  std::string directory_;
};

// One scratch directory for the whole process.
const ScratchDir& Scratch();

std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

// Routes the library's log to /dev/null once: the lines are still formatted, so a format that
// does not match its arguments shows up, but nothing piles up on disk.
void OpenQuietLog();

// A broken invariant is a finding: libFuzzer keeps the input that led here.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
inline void Require(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// Maps the fuzz input of `size` bytes at path into the context. Only an empty input may fail to
// map; false tells the caller there is nothing more to check.
bool MapFuzzInput(RepairContext& context, const std::string& path, std::size_t size);

// The input file must be exactly as it was written: the library never writes its inputs.
void RequireUnchanged(const std::string& path, const std::uint8_t* data, std::size_t size);

}  // namespace quillmend::fuzz
