// Throughput of the ALAC frame parser, beside the AAC parser's: over the frames of recordings the
// ffmpeg tool makes (60 s of a tone over pink noise, 16-bit stereo and 24-bit stereo at 44.1
// kHz), and over random bytes, where the exact repair tries every offset of a damaged stretch.
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

#include "alac/alac_syntax.h"

namespace quillmend::alac {
namespace {

struct Recording {
  std::vector<std::uint8_t> file;
  struct Frame {
    std::size_t position, size;
  };
  std::vector<Frame> frames;
  std::size_t frameBytes = 0;
  Config config;

  explicit Recording(const char* sampleFormat) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("quillmend-alac-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "recording.m4a").string();
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=60 "
        "-f lavfi -i anoisesrc=color=pink:amplitude=0.2:seed=7:sample_rate=44100:duration=60 "
        "-filter_complex amix=inputs=2:duration=shortest -ac 2 -c:a alac -sample_fmt " +
        std::string(sampleFormat) + " '" + path + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command);
    std::ifstream in(path, std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(in), {});
    ReadFrames(path);
    std::filesystem::remove_all(dir);
  }

  // Where each frame lies, from the file's own sample tables as libavformat reads them, and the
  // stream's cookie from its sample entry.
  void ReadFrames(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
      throw std::runtime_error("cannot open " + path);
    }
    avformat_find_stream_info(format, nullptr);
    const AVCodecParameters* parameters = format->streams[0]->codecpar;
    const auto cookie =
        ParseCookie(parameters->extradata, static_cast<std::size_t>(parameters->extradata_size));
    if (!cookie) throw std::runtime_error("no cookie in " + path);
    config = *cookie;
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

const Recording& TheRecording(int bits) {
  static const Recording sixteen("s16p");
  static const Recording twentyFour("s32p");
  return bits == 16 ? sixteen : twentyFour;
}

// Each frame with the rest of the file after it, as the exact repair hands it over.
void BM_AlacParseRecordingFrames(benchmark::State& state) {
  const Recording& r = TheRecording(static_cast<int>(state.range(0)));
  std::size_t valid = 0;
  for (auto _ : state) {
    for (const auto& frame : r.frames) {
      const FrameInfo info =
          ParseFrame(r.file.data() + frame.position, r.file.size() - frame.position, r.config);
      valid += info.status == FrameStatus::kValid && info.bytes == frame.size;
    }
  }
  if (valid != state.iterations() * r.frames.size()) state.SkipWithError("a frame did not parse");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * r.frameBytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * r.frames.size()));
}
BENCHMARK(BM_AlacParseRecordingFrames)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond);

// A start tried at every byte of random data, as the walk tries it: the first-byte test, then
// the frame.
void BM_AlacRejectRandomOffsets(benchmark::State& state) {
  std::mt19937 random(3);
  std::vector<std::uint8_t> bytes(1 << 20);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  Config config;
  config.numChannels = 2;
  const AlacSyntax syntax(config);
  std::size_t valid = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      if (!syntax.MayStart(bytes[at])) continue;
      valid += syntax.Fits(syntax.Read(bytes.data() + at, bytes.size() - at));
    }
  }
  benchmark::DoNotOptimize(valid);
  state.counters["valid"] = static_cast<double>(valid) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_AlacRejectRandomOffsets)->Unit(benchmark::kMillisecond);

// Learning the configuration from the first frames of a stream without its cookie.
void BM_AlacInferConfig(benchmark::State& state) {
  const Recording& r = TheRecording(16);
  for (auto _ : state) {
    const Inference found = InferConfig(r.file.data(), r.frames.front().position,
                                        r.frames.back().position + r.frames.back().size);
    if (found.certainty != Certainty::kSure) state.SkipWithError("not sure");
  }
}
BENCHMARK(BM_AlacInferConfig)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillmend::alac
