#include "inspect_command.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

namespace quillmend::tool {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The heads the general repair accepts.
constexpr std::uint16_t kRecorderHeads[] = {0x210C, 0x212C, 0x214E, 0x216C};

std::uint32_t U32At(const Bytes& bytes, std::uint64_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | (at + i < bytes.size() ? bytes[at + i] : 0);
  return value;
}

std::vector<std::uint64_t> Occurrences(const Bytes& bytes, const char* type) {
  std::vector<std::uint64_t> found;
  for (std::uint64_t at = 0; at + 4 <= bytes.size(); ++at) {
    if (std::memcmp(&bytes[at], type, 4) == 0) found.push_back(at);
  }
  return found;
}

// The entries of the last occurrence of a table box that fits in the file.
struct Table {
  std::size_t boxes = 0;
  std::vector<std::vector<std::uint32_t>> entries;
};

Table ReadTable(const Bytes& bytes, const char* type, unsigned wordsBeforeCount,
                unsigned wordsPerEntry) {
  Table table;
  for (std::uint64_t at : Occurrences(bytes, type)) {
    const std::uint64_t first = at + 4 + 4 * (wordsBeforeCount + 1);
    if (first > bytes.size()) continue;
    const std::uint64_t count = U32At(bytes, first - 4);
    if (count * 4 * wordsPerEntry > bytes.size() - first) continue;
    ++table.boxes;
    table.entries.assign(count, {});
    for (std::uint64_t i = 0; i < count; ++i) {
      for (unsigned w = 0; w < wordsPerEntry; ++w) {
        table.entries[i].push_back(U32At(bytes, first + 4 * (i * wordsPerEntry + w)));
      }
    }
  }
  return table;
}

// Counts the head of every sample that the tables describe inside the file.
std::map<std::uint16_t, std::size_t> SampleHeads(const Bytes& bytes, const Table& stco,
                                                 const Table& stsc, const Table& stsz) {
  std::map<std::uint16_t, std::size_t> heads;
  std::map<std::uint32_t, std::uint32_t> runs;
  for (const auto& e : stsc.entries) runs.emplace(e[0], e[1]);
  std::size_t chunk = 0, sample = 0;
  for (auto run = runs.begin(); run != runs.end(); ++run) {
    const auto next = std::next(run);
    const auto chunks = static_cast<std::int32_t>(
        next != runs.end() ? next->first - run->first
                           : static_cast<std::uint32_t>(stco.entries.size()) - run->first + 1);
    for (std::int32_t c = 0; c < chunks && chunk < stco.entries.size(); ++c) {
      std::uint64_t at = stco.entries[chunk++][0];
      for (std::uint32_t s = 0; s < run->second && sample < stsz.entries.size(); ++s) {
        const std::uint32_t size = stsz.entries[sample++][0];
        if (size < 2 || at + 2 > bytes.size()) return heads;
        if (bytes[at + 1] != 0) ++heads[static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1])];
        at += size;
      }
    }
  }
  return heads;
}

bool IsRecorderHead(const Bytes& bytes, std::uint64_t at) {
  if (at + 1 >= bytes.size()) return false;
  const auto head = static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
  for (auto h : kRecorderHeads) {
    if (h == head) return true;
  }
  return false;
}

bool IsMarker(const Bytes& bytes, std::uint64_t at) {
  return at + 2 < bytes.size() && bytes[at] == 0x01 && bytes[at + 1] != 0 && bytes[at + 2] == 0x14;
}

}  // namespace

int RunInspect(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "quillmend: cannot read %s\n", path.c_str());
    return 1;
  }
  const Bytes bytes{std::istreambuf_iterator<char>(in), {}};
  std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());

  if (U32At(bytes, 4) == 0x66747970) {  // "ftyp"
    const std::string brand(bytes.begin() + 8,
                            bytes.begin() + std::min<std::size_t>(12, bytes.size()));
    std::printf("ftyp: major brand \"%s\" (%s)\n", brand.c_str(),
                brand == "M4A " ? "an M4A file" : "not an M4A file: both repairs refuse it");
  } else {
    std::printf("ftyp: none at the start (a damaged header; the repairs go on without it)\n");
  }

  const auto mdats = Occurrences(bytes, "mdat");
  std::printf("mdat: %zu occurrence%s", mdats.size(), mdats.size() == 1 ? "" : "s");
  for (std::size_t i = 0; i < mdats.size() && i < 20; ++i)
    std::printf("%s%llu", i ? ", " : " at ", static_cast<unsigned long long>(mdats[i]));
  std::printf("%s\n", mdats.size() > 20 ? ", ..." : "");

  const Table stco = ReadTable(bytes, "stco", 1, 1);
  const Table stsc = ReadTable(bytes, "stsc", 1, 3);
  const Table stsz = ReadTable(bytes, "stsz", 2, 1);
  std::printf(
      "sample tables: stco %s (%zu chunk offsets), stsc %s (%zu runs), stsz %s (%zu sizes)\n",
      stco.boxes ? "present" : "missing", stco.entries.size(), stsc.boxes ? "present" : "missing",
      stsc.entries.size(), stsz.boxes ? "present" : "missing", stsz.entries.size());
  if (stco.boxes && stsc.boxes && stsz.boxes) {
    const auto heads = SampleHeads(bytes, stco, stsc, stsz);
    std::printf("frame heads taught as a sample file: %zu distinct\n", heads.size());
    for (const auto& [head, count] : heads) std::printf("  0x%04X  %zu frames\n", head, count);
  } else {
    std::printf("frame heads taught as a sample file: none (not usable as a sample)\n");
  }

  std::printf("general scan (heads 0x210C 0x212C 0x214E 0x216C, or the 01 xx 14 marker):\n");
  for (std::size_t i = 0; i < mdats.size(); ++i) {
    const std::uint64_t start = mdats[i] + 4;
    const std::uint64_t end = i + 1 < mdats.size() ? mdats[i + 1] : bytes.size();
    if (bytes.size() < start + 4) {
      std::printf("  region %zu: %llu..%llu: too short to scan\n", i + 1,
                  static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
      continue;
    }
    const bool marker = U32At(bytes, start) == 0;
    std::optional<std::uint64_t> first, last;
    std::size_t heads = 0;
    for (std::uint64_t at = marker ? start + 4 : start; at + 1 < end;) {
      if (marker ? IsMarker(bytes, at) : IsRecorderHead(bytes, at)) {
        if (!first) first = at;
        last = at;
        ++heads;
        at += marker ? 2 : 1;
      } else {
        ++at;
      }
    }
    const std::size_t frames = heads > 1 ? heads - 1 : 0;
    std::printf("  region %zu: %llu..%llu, %s mode: %zu frames, %llu bytes\n", i + 1,
                static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
                marker ? "marker" : "profile", frames,
                static_cast<unsigned long long>(frames ? *last - *first : 0));
  }
  return 0;
}

}  // namespace quillmend::tool
