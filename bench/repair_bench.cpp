// Throughput of the hot loops of both repairs over data shaped like a recorder's media data.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mp4/box_search.h"
#include "mp4/frame_heads.h"
#include "mp4/frame_scanner.h"
#include "mp4/sample_tables.h"
#include "repair/adts_writer.h"
#include "repair/frame_extraction.h"
#include "core/repair_context.h"

namespace quillmend {
namespace {

constexpr std::size_t kMediaBytes = 64 << 20;

struct Fixture {
  std::filesystem::path dir;
  std::string mediaPath, samplePath;
  std::vector<std::uint32_t> frameStarts;
  Fixture() {
    dir =
        std::filesystem::temp_directory_path() / ("quillmend-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    // "mdat", then frames of 300 to 450 bytes, each opening with a recorder head.
    std::mt19937 random(1);
    std::vector<std::uint8_t> bytes = {0, 0, 0, 0, 'm', 'd', 'a', 't'};
    while (bytes.size() < kMediaBytes) {
      frameStarts.push_back(static_cast<std::uint32_t>(bytes.size()));
      const std::uint16_t head = kDefaultFrameHeads[random() % 4];
      bytes.push_back(head >> 8);
      bytes.push_back(head & 0xFF);
      for (int n = 300 + random() % 150; n > 0; --n) bytes.push_back(random() & 0xFF);
    }
    mediaPath = (dir / "media.bin").string();
    std::ofstream(mediaPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    // A sample file: the same media followed by its tables, 50 samples to a chunk.
    auto box = [&](const char* type, std::vector<std::uint32_t> words) {
      std::vector<std::uint8_t> out;
      auto put = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back((v >> s) & 0xFF);
      };
      put(static_cast<std::uint32_t>(8 + 4 * words.size()));
      out.insert(out.end(), type, type + 4);
      for (auto w : words) put(w);
      return out;
    };
    std::vector<std::uint32_t> stco = {0, 0}, stsz = {0, 0, 0};
    for (std::size_t i = 0; i + 1 < frameStarts.size(); ++i) {
      if (i % 50 == 0) stco.push_back(frameStarts[i]);
      stsz.push_back(frameStarts[i + 1] - frameStarts[i]);
    }
    stco[1] = static_cast<std::uint32_t>(stco.size() - 2);
    stsz[2] = static_cast<std::uint32_t>(stsz.size() - 3);
    std::vector<std::uint8_t> sample = bytes;
    for (auto& b : {box("stco", stco), box("stsc", {0, 1, 1, 50, 1}), box("stsz", stsz)}) {
      sample.insert(sample.end(), b.begin(), b.end());
    }
    samplePath = (dir / "sample.m4a").string();
    std::ofstream(samplePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(sample.data()), sample.size());
  }
  ~Fixture() { std::filesystem::remove_all(dir); }
};

Fixture& Data() {
  static Fixture fixture;
  return fixture;
}

void BM_FindFrameInRange(benchmark::State& state) {
  RepairContext context;
  MapContextFile(context, Data().mediaPath);
  SetDefaultFrameHeads(context);
  const HeadTable heads(context.frameHeads.get());
  const auto end = static_cast<std::uint32_t>(context.file->Size());
  const bool profile = state.range(0) == 1;
  std::size_t frames = 0;
  for (auto _ : state) {
    context.file->Seek(8, kSeekSet);
    for (ResultCode r = kOk; r == kOk;) {
      FrameSpan span;
      r = FindFrameInRange(context, span, static_cast<std::uint32_t>(context.file->Cursor()), end,
                           profile, heads);
      frames += r == kOk;
    }
  }
  benchmark::DoNotOptimize(frames);
  state.SetBytesProcessed(state.iterations() * (end - 8));
}
BENCHMARK(BM_FindFrameInRange)->Arg(1)->ArgName("profile")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindFrameInRange)->Arg(0)->ArgName("profile")->Unit(benchmark::kMillisecond);

void BM_FindFrameInFile(benchmark::State& state) {
  RepairContext context;
  MapContextFile(context, Data().mediaPath);
  SetDefaultFrameHeads(context);
  const HeadTable heads(context.frameHeads.get());
  MappedFile& file = *context.file;
  for (auto _ : state) {
    file.Seek(0, kSeekSet);
    FrameSpan span;
    for (ResultCode r = kOk; r == kOk;) {
      r = FindFrameInFile(context, file, span, heads);
      if (r == kOk) {
        file.Seek(span.start + std::uint64_t{span.length}, kSeekSet);
        span = {};
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * file.Size());
}
BENCHMARK(BM_FindFrameInFile)->Unit(benchmark::kMillisecond);

void BM_FindMediaData(benchmark::State& state) {
  RepairContext context;
  MapContextFile(context, Data().mediaPath);
  for (auto _ : state) benchmark::DoNotOptimize(FindMediaData(context));
  state.SetBytesProcessed(state.iterations() * context.file->Size());
}
BENCHMARK(BM_FindMediaData)->Unit(benchmark::kMillisecond);

// Writes every frame with its header and the flush that puts it on disk before the next one.
void BM_WriteAdtsFrames(benchmark::State& state) {
  RepairContext context;
  MapContextFile(context, Data().mediaPath);
  const auto& starts = Data().frameStarts;
  const std::string out = (Data().dir / "tmp.adts").string();
  for (auto _ : state) {
    std::filesystem::remove(out);
    AppendFile stream(out);
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
      WriteAdtsFrame(context, FrameSpan{starts[i], starts[i + 1] - starts[i]}, stream);
    }
  }
  state.SetBytesProcessed(state.iterations() * context.file->Size());
  state.SetItemsProcessed(state.iterations() * starts.size());
}
BENCHMARK(BM_WriteAdtsFrames)->Unit(benchmark::kMillisecond);

void BM_ExtractFramesToAdts(benchmark::State& state) {
  RepairContext context;
  MapContextFile(context, Data().mediaPath);
  FindMediaData(context);
  SetDefaultFrameHeads(context);
  const std::string out = (Data().dir / "tmp.adts").string();
  for (auto _ : state) {
    std::filesystem::remove(out);
    AppendFile stream(out);
    ExtractFramesToAdts(context, stream);
  }
  state.SetBytesProcessed(state.iterations() * context.file->Size());
}
BENCHMARK(BM_ExtractFramesToAdts)->Unit(benchmark::kMillisecond);

// The prepare stage of an advanced repair: three tables and the walk over every sample.
void BM_SampleTableWalk(benchmark::State& state) {
  for (auto _ : state) {
    RepairContext context;
    MapContextFile(context, Data().samplePath);
    ReadChunkOffsets(context);
    ReadSamplesPerChunk(context);
    ReadSampleSizes(context);
    LearnFrameHeads(context);
    benchmark::DoNotOptimize(context.frameHeads->size());
  }
  state.SetItemsProcessed(state.iterations() * Data().frameStarts.size());
}
BENCHMARK(BM_SampleTableWalk)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillmend

BENCHMARK_MAIN();
