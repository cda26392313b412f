#include "fuzz_support.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "VxLogSDK.h"

namespace quillmend::fuzz {

ScratchDir::ScratchDir() {
  std::string base = "/dev/shm";
  std::error_code error;
  if (!std::filesystem::is_directory(base, error)) {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
  std::string pattern = base + "/quillmend-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot create a scratch directory");
  directory_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  std::filesystem::remove_all(directory_, error);
}

std::string ScratchDir::Write(const char* name, const std::uint8_t* data, std::size_t size) const {
  const std::string path = Path(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (size > 0) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) Fail("cannot write a scratch file");
  return path;
}

const ScratchDir& Scratch() {
  static const ScratchDir scratch;
  return scratch;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void OpenQuietLog() {
  static int owner;
  static const bool opened = InitLogEx(&owner, "Quillmend_sdk", "/dev/null") == 0;
  (void)opened;
}

void RequireUnchanged(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> now = ReadWholeFile(path);
  Require(now.size() == size && (size == 0 || std::memcmp(now.data(), data, size) == 0),
          "the input file was changed");
}

bool MapFuzzInput(RepairContext& context, const std::string& path, std::size_t size) {
  const ResultCode mapped = MapContextFile(context, path);
  if (mapped == kOk) return true;
  Require(size == 0 && mapped == kMapFailed, "a non-empty file that does not map");
  return false;
}

}  // namespace quillmend::fuzz
