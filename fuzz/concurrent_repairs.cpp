// concurrent_repairs WORK_DIR SAMPLE DAMAGED...: repairs every damaged file both ways, first one
// repair at a time, then all repairs at once on a thread each, every repair into a directory of
// its own, and checks that both passes give the same result codes and the same output bytes.
// Built for the one-off ThreadSanitizer run of scripts/tsan.sh: the library keeps no state
// between calls, so nothing may race and nothing may depend on what runs beside it.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "quillmend_sdk.h"

namespace {

namespace fs = std::filesystem;

struct Repair {
  std::string damaged, sample;  // no sample: a general repair
  int code = 0;
  std::vector<char> output;
};

void Run(Repair& repair, const fs::path& directory) {
  fs::create_directories(directory);
  const std::string output = (directory / "repaired.m4a").string();
  repair.code = repair.sample.empty() ? OrvM4aGeneralRepair(repair.damaged.c_str(), output.c_str())
                                      : OrvM4aAdvanceRepair(repair.damaged.c_str(),
                                                            repair.sample.c_str(), output.c_str());
  std::ifstream in(output, std::ios::binary);
  repair.output.assign(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s WORK_DIR SAMPLE DAMAGED...\n", argv[0]);
    return 2;
  }
  const fs::path work = argv[1];
  // Frames cut at a false head make FFmpeg's decoder complain on the terminal, as any host would
  // keep it from doing; the sanitizer's own reports still go there.
  av_log_set_level(AV_LOG_QUIET);
  static int owner;
  if (OrvM4aInit(argv[1], &owner) != ORVM4A_OK) return 2;

  std::vector<Repair> alone;
  for (int i = 3; i < argc; ++i) {
    alone.push_back({argv[i], "", 0, {}});
    alone.push_back({argv[i], argv[2], 0, {}});
  }
  std::vector<Repair> together = alone;
  for (std::size_t i = 0; i < alone.size(); ++i) Run(alone[i], work / "alone" / std::to_string(i));

  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < together.size(); ++i) {
    threads.emplace_back(Run, std::ref(together[i]), work / "together" / std::to_string(i));
  }
  for (std::thread& thread : threads) thread.join();

  int mismatches = 0;
  for (std::size_t i = 0; i < alone.size(); ++i) {
    const bool same = alone[i].code == together[i].code && alone[i].output == together[i].output;
    mismatches += !same;
    std::printf("%-8s %s: code %d alone, %d together; %zu output bytes alone, %zu together%s\n",
                alone[i].sample.empty() ? "general" : "advanced", alone[i].damaged.c_str(),
                alone[i].code, together[i].code, alone[i].output.size(), together[i].output.size(),
                same ? "" : "  <- DIFFERENT");
  }
  std::printf("%zu repairs on %zu threads: %d differ from their run alone\n", together.size(),
              together.size(), mismatches);
  return mismatches == 0 ? 0 : 1;
}
