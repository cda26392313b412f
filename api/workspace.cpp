#include "workspace.h"

#include <vector>

#include "core/log_sink.h"
#include "io/env.h"
#include "paths.h"

namespace quillmend::api {
namespace {

constexpr char kWorkPrefix[] = ".quillmend-";
constexpr char kWorkLock[] = ".lock";
constexpr char kOutputPrefix[] = "repaired";
// Everything but outputs that a work directory can hold: the lock and the SDK's intermediate
// files.
constexpr const char* kWorkFiles[] = {kWorkLock, "tmp.adts", "tmp.pcm"};
// A work directory holds no more names than this: its outputs, one per track, and the above.
constexpr std::size_t kMostNames = 1024;

bool IsOutputName(const std::string& name) {
  return name.rfind(kOutputPrefix, 0) == 0 && name.size() > 4 &&
         name.compare(name.size() - 4, 4, ".m4a") == 0;
}

// Removes what a repair makes in its work directory, and the directory when that leaves it
// empty. Anything else in it stays, and so does the directory. What one sweep could not remove
// gets a second: a file just closed may be held for a moment (on Windows, by a scanner), and a
// directory left behind goes only when the next repair comes into the folder.
void RemoveWork(const fs::path& dir) {
  Env* env = CurrentEnv();
  for (int sweep = 0; sweep < 2; ++sweep) {
    std::vector<fs::path> names;
    env->List(dir, kMostNames, &names);
    for (const fs::path& name : names) {
      if (IsOutputName(ToUtf8(name))) env->Remove(dir / name);
    }
    for (const char* name : kWorkFiles) env->Remove(dir / name);
    if (!env->Remove(dir)) return;
  }
}

void RemoveAbandoned(const fs::path& directory) {
  Env* env = CurrentEnv();
  std::vector<fs::path> names;
  env->List(directory, kMostNames * 64, &names);
  for (const fs::path& name : names) {
    if (ToUtf8(name).rfind(kWorkPrefix, 0) != 0) continue;
    FileInfo info;
    if (env->Stat(directory / name, &info, false) || info.kind != FileInfo::Kind::kDirectory) {
      continue;
    }
    if (WorkLock::Abandoned(directory / name / kWorkLock)) {
      LogInfo("removing what an interrupted repair left: %s", ToUtf8(directory / name).c_str());
      RemoveWork(directory / name);
    }
  }
}

}  // namespace

std::error_code Workspace::Make(const fs::path& outputDirectory) {
  RemoveAbandoned(outputDirectory);
  if (const std::error_code e =
          CurrentEnv()->MakePrivateDirectory(outputDirectory, kWorkPrefix, &dir_)) {
    dir_.clear();
    return e;
  }
  if (!lock_.Hold(dir_ / kWorkLock)) return std::make_error_code(std::errc::io_error);
  return {};
}

Workspace::~Workspace() {
  lock_.Release();
  if (!dir_.empty()) RemoveWork(dir_);
}

fs::path Workspace::Output(std::uint32_t track) const {
  return dir_ / (std::string(kOutputPrefix) + (track > 1 ? std::to_string(track) : "") + ".m4a");
}

}  // namespace quillmend::api
