#include "env.h"

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

Env* CurrentEnv() { return tEnv != nullptr ? tEnv : Env::Default(); }

ScopedEnv::ScopedEnv(Env* env) : previous_(tEnv) { tEnv = env; }
ScopedEnv::~ScopedEnv() { tEnv = previous_; }

}  // namespace quillmend
