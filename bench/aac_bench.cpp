// Throughput of the AAC frame parser: over the frames of a recording the ffmpeg tool makes (60 s
// of stereo at 128 kbit/s, a tone over pink noise at full bandwidth, as bench.sh records), and
// over random bytes, where the exact repair tries every offset of a damaged stretch.
#include <benchmark/benchmark.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "aac/raw_data_block.h"

namespace quillmend::aac {
namespace {

struct Recording {
  std::vector<std::uint8_t> file;
  struct Frame {
    std::size_t position, size;
  };
  std::vector<Frame> frames;
  std::size_t frameBytes = 0;
  int samplingIndex = 0;

  Recording() {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("quillmend-aac-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "recording.m4a").string();
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=60 "
        "-f lavfi -i anoisesrc=color=pink:amplitude=0.2:seed=7:sample_rate=44100:duration=60 "
        "-filter_complex amix=inputs=2:duration=shortest -ac 2 -c:a aac -b:a 128k -cutoff 20000 "
        "'" +
        path + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command);
    std::ifstream in(path, std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(in), {});
    ReadFrames(path);
    std::filesystem::remove_all(dir);
  }

  // Where each frame lies, from the file's own sample tables as libavformat reads them.
  void ReadFrames(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
      throw std::runtime_error("cannot open " + path);
    }
    avformat_find_stream_info(format, nullptr);
    samplingIndex = SamplingIndexFromRate(format->streams[0]->codecpar->sample_rate);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
      frames.push_back(
          {static_cast<std::size_t>(packet->pos), static_cast<std::size_t>(packet->size)});
      frameBytes += static_cast<std::size_t>(packet->size);
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
  }
};

const Recording& TheRecording() {
  static const Recording recording;
  return recording;
}

// Each frame with the rest of the file after it, as the exact repair hands it over.
void BM_ParseRecordingFrames(benchmark::State& state) {
  const Recording& r = TheRecording();
  std::size_t valid = 0;
  for (auto _ : state) {
    for (const auto& frame : r.frames) {
      const FrameInfo info = ParseRawDataBlock(r.file.data() + frame.position,
                                               r.file.size() - frame.position, r.samplingIndex);
      valid += info.status == FrameStatus::kValid && info.bytes == frame.size;
    }
  }
  if (valid != state.iterations() * r.frames.size()) state.SkipWithError("a frame did not parse");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * r.frameBytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * r.frames.size()));
}
BENCHMARK(BM_ParseRecordingFrames)->Unit(benchmark::kMillisecond);

// A start tried at every byte of random data: how fast garbage is turned down.
void BM_RejectRandomOffsets(benchmark::State& state) {
  std::mt19937 random(3);
  std::vector<std::uint8_t> bytes(1 << 20);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  std::size_t valid = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      valid +=
          ParseRawDataBlock(bytes.data() + at, bytes.size() - at, 4).status == FrameStatus::kValid;
    }
  }
  benchmark::DoNotOptimize(valid);
  state.counters["valid"] = static_cast<double>(valid) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_RejectRandomOffsets)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillmend::aac
