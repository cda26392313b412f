#include "siblings.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "io/env.h"
#include "io/mapped_file.h"
#include "io/utf8.h"
#include "mp4/container.h"
#include "paths.h"

namespace quillmend::api {
namespace {

// Names read from one folder: a folder of thousands is listed only this far.
constexpr std::size_t kMostListed = 4096;
// Headers read: the nearest in time to the damaged file, where the same recorder's other takes
// are.
constexpr std::size_t kMostFiles = 48;
// The nearest this many are always looked at.
constexpr std::uint32_t kLeastFiles = 8;
// The whole look stops after this long, whatever is left.
constexpr auto kMostTime = std::chrono::milliseconds(400);
// Of each file, at most this much is read at its start and at its end.
constexpr std::uint64_t kHeaderBytes = std::uint64_t{2} << 20;

bool LooksLikeRecording(const fs::path& name) {
  std::string extension = ToUtf8(name.extension());
  for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (const char* known : {".m4a", ".mp4", ".mov", ".3gp", ".3g2", ".m4b"}) {
    if (extension == known) return true;
  }
  return false;
}

struct Candidate {
  fs::path path;
  std::int64_t distance;
};

}  // namespace

SiblingLook LookBeside(const fs::path& damaged, const fs::path& extra, bool notBeside,
                       const std::vector<fs::path>& exclude) {
  SiblingLook look;
  const auto started = std::chrono::steady_clock::now();
  Env* env = CurrentEnv();
  FileInfo damagedInfo;
  env->Stat(damaged, &damagedInfo);
  std::vector<Candidate> candidates;
  std::vector<fs::path> folders;
  if (!notBeside) folders.push_back(damaged.parent_path());
  if (!extra.empty()) folders.push_back(extra);
  for (const fs::path& folder : folders) {
    std::vector<fs::path> names;
    env->List(folder, kMostListed, &names);
    for (const fs::path& name : names) {
      if (!LooksLikeRecording(name) || ToUtf8(name).rfind(".", 0) == 0) continue;
      const fs::path path = folder / name;
      bool excluded = false;
      for (const fs::path& x : exclude)
        excluded = excluded || (!x.empty() && env->SameFile(x, path));
      if (excluded) continue;
      FileInfo info;
      if (env->Stat(path, &info) || info.kind != FileInfo::Kind::kRegular || info.size == 0)
        continue;
      candidates.push_back({path, std::llabs(info.modified - damagedInfo.modified)});
    }
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
  if (candidates.size() > kMostFiles) candidates.resize(kMostFiles);
  for (const Candidate& c : candidates) {
    // The nearest few are looked at however slow the disk; the rest while time is left.
    if (look.looked >= kLeastFiles && std::chrono::steady_clock::now() - started > kMostTime) break;
    const MappedFile file(Utf8ToWide(ToUtf8(c.path)));
    if (file.Data() == nullptr) continue;
    ++look.looked;
    exact::Reference reference;
    reference.name = ToUtf8(c.path.filename());
    reference.layout = ReadHeader(file.Data(), file.Size(), kHeaderBytes);
    bool sound = false;
    for (const Track& t : reference.layout.tracks) {
      sound = sound || !t.entry.audioConfig.empty() || !t.entry.alacCookie.empty();
    }
    if (sound) look.references.push_back(std::move(reference));
  }
  look.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return look;
}

}  // namespace quillmend::api
