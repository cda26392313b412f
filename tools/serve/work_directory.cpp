#include "serve/work_directory.h"

#include "serve/repair_jobs.h"

namespace quillmend::tool::serve {
namespace {

namespace fs = std::filesystem;
constexpr std::size_t kIdDigits = 16;

}  // namespace

WorkDirectory::~WorkDirectory() {
  if (path_.empty()) return;
  lock_.Release();
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::error_code WorkDirectory::Create(const fs::path& parent) {
  const fs::path path = parent / (std::string(kPrefix) + RandomHex(kIdDigits / 2));
  if (std::error_code error = MakeOwnerOnlyDirectory(path)) return error;
  path_ = path;
  return lock_.Hold(path_ / kLockFile);
}

bool IsWorkDirectoryName(std::string_view name) {
  if (!name.starts_with(WorkDirectory::kPrefix)) return false;
  const std::string_view id = name.substr(WorkDirectory::kPrefix.size());
  return id.size() == kIdDigits && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::vector<fs::path> RemoveAbandoned(const fs::path& parent) {
  std::vector<fs::path> removed;
  std::error_code error;
  for (fs::directory_iterator it(parent, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    const std::u8string name = path.filename().u8string();
    std::error_code ignored;
    // Never through a link, never another user's, never one whose server still holds it.
    if (!IsWorkDirectoryName({reinterpret_cast<const char*>(name.data()), name.size()}) ||
        it->symlink_status(ignored).type() != fs::file_type::directory || !OwnedByMe(path) ||
        !LockFile::Abandoned(path / WorkDirectory::kLockFile)) {
      continue;
    }
    fs::remove_all(path, ignored);
    if (!fs::exists(fs::symlink_status(path, ignored))) removed.push_back(path);
  }
  return removed;
}

}  // namespace quillmend::tool::serve
