#include "env.h"

#include <chrono>

#include "command_line.h"
#include "native_path.h"
#include "utf8.h"

namespace quillmend {
namespace {
thread_local Env* tEnv = nullptr;
}  // namespace

ChildOutcome Env::SpawnWithParameters(const std::filesystem::path& program,
                                      std::u16string_view parameters) {
  std::vector<std::string> arguments{NativePathToUtf8(program)};
  for (const std::u16string& argument : SplitCommandLine(parameters)) {
    arguments.push_back(WideToUtf8(argument));
  }
  return Spawn(program, arguments);
}

std::error_code Env::Stat(const std::filesystem::path& path, FileInfo* info, bool followLinks) {
  namespace fs = std::filesystem;
  *info = {};
  std::error_code error;
  const fs::file_status status =
      followLinks ? fs::status(path, error) : fs::symlink_status(path, error);
  if (status.type() == fs::file_type::not_found) return {};
  if (error) return error;
  switch (status.type()) {
    case fs::file_type::regular: {
      info->kind = FileInfo::Kind::kRegular;
      const std::uintmax_t size = fs::file_size(path, error);
      if (!error) info->size = size;
      break;
    }
    case fs::file_type::directory:
      info->kind = FileInfo::Kind::kDirectory;
      break;
    case fs::file_type::symlink:
      info->kind = FileInfo::Kind::kLink;
      break;
    default:
      info->kind = FileInfo::Kind::kOther;
      break;
  }
  const auto time = fs::last_write_time(path, error);
  if (!error) {
    info->modified =
        std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
  }
  return {};
}

std::error_code Env::FreeSpace(const std::filesystem::path& directory, std::uint64_t* available) {
  std::error_code error;
  const std::filesystem::space_info space = std::filesystem::space(directory, error);
  *available = error ? 0 : space.available;
  return error;
}

std::error_code Env::List(const std::filesystem::path& directory, std::size_t limit,
                          std::vector<std::filesystem::path>* names) {
  names->clear();
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    if (names->size() >= limit) break;
    names->push_back(it->path().filename());
  }
  return error;
}

bool Env::SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error) && !error;
}

Env* CurrentEnv() { return tEnv != nullptr ? tEnv : Env::Default(); }

ScopedEnv::ScopedEnv(Env* env) : previous_(tEnv) { tEnv = env; }
ScopedEnv::~ScopedEnv() { tEnv = previous_; }

}  // namespace quillmend
