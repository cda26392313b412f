#include "output.h"

#include <vector>

#include "io/env.h"
#include "paths.h"
#include "repair.h"
#include "workspace.h"

namespace quillmend::api {
namespace {

// Less than this free, a failed write is put down to a full disk.
constexpr std::uint64_t kNearlyFull = std::uint64_t{1} << 20;

}  // namespace

Status CheckOutput(const Request& q, const std::string& output, const fs::path& outputPath) {
  Env* env = CurrentEnv();
  FileInfo directory;
  env->Stat(outputPath.parent_path(), &directory);
  if (directory.kind != FileInfo::Kind::kDirectory) {
    return Status::Failed(Status::Code::kOutput,
                          "cannot write " + output + ": its folder does not exist",
                          "create the folder first, or choose another output");
  }
  for (const fs::path& in : {q.inputPath, q.samplePath}) {
    if (!in.empty() && env->SameFile(in, outputPath)) {
      return Status::Failed(Status::Code::kOutput,
                            "the output would replace an input file: " + output,
                            "choose another output name");
    }
  }
  FileInfo existing;
  env->Stat(outputPath, &existing, false);
  if (existing.kind != FileInfo::Kind::kNone && !q.options.overwrite) {
    return Status::Failed(Status::Code::kOutputExists, output + " exists already",
                          "choose another name, or allow replacing it");
  }
  return Status::Ok();
}

Status PutInPlace(const Request& q, const Workspace& workspace, qm_result* r) {
  std::vector<qm_result*> tracks{r};
  for (auto& t : r->tracks) tracks.push_back(t.get());
  std::vector<fs::path> placed;
  for (qm_result* t : tracks) {
    const fs::path to = ToPath(t->output);
    const std::error_code e =
        CurrentEnv()->Rename(workspace.Output(t->track), to, q.options.overwrite != 0);
    if (!e) {
      placed.push_back(to);
      continue;
    }
    for (const fs::path& p : placed) CurrentEnv()->Remove(p);
    if (e == std::errc::file_exists) {
      return Status::Failed(Status::Code::kOutputExists,
                            t->output + " appeared while the repair ran",
                            "choose another name, or allow replacing it");
    }
    return Status::Failed(Status::Code::kOutput,
                          "cannot put the repaired file in place: " + e.message(),
                          "choose another output folder");
  }
  return Status::Ok();
}

Status MakeWorkspace(const Request& q, Workspace* workspace) {
  const fs::path directory = q.outputPath.parent_path();
  if (const std::error_code e = workspace->Make(directory)) {
    return Status::Failed(Status::Code::kOutput,
                          "cannot write into " + ToUtf8(directory) + ": " + e.message(),
                          "choose another output folder");
  }
  return Status::Ok();
}

Status WriteFailure(const Request& q, const std::string& why) {
  std::uint64_t available = 0;
  const fs::path directory = q.outputPath.parent_path();
  if (!CurrentEnv()->FreeSpace(directory, &available) && available < kNearlyFull) {
    return Status::Failed(Status::Code::kNoSpace, "not enough space on " + ToUtf8(directory),
                          "free some space, or write the output to another disk");
  }
  return Status::Failed(Status::Code::kOutput, "cannot write the repaired file: " + why,
                        "choose another output folder");
}

}  // namespace quillmend::api
