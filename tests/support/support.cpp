#include "support/support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace quillmend::test {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "quillmend-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored)) fs::permissions(it->path(), fs::perms::owner_all, ignored);
  }
  fs::remove_all(path_, ignored);
}

void WriteFile(const fs::path& path, const ByteVector& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

ByteVector ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return ByteVector(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string& state = entries[fs::relative(entry.path(), root).string()];
    std::ifstream in(entry.path(), std::ios::binary);
    if (entry.is_directory()) {
      state = "dir";
    } else if (entry.file_size() > (64u << 20) || !in) {  // too large, or unreadable to us
      state = std::to_string(entry.file_size()) + " changed " +
              std::to_string(entry.last_write_time().time_since_epoch().count());
    } else {
      std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
      for (auto it = std::istreambuf_iterator<char>(in); it != std::istreambuf_iterator<char>();
           ++it) {
        hash = (hash ^ static_cast<std::uint8_t>(*it)) * 1099511628211ull;
      }
      state = std::to_string(entry.file_size()) + " hash " + std::to_string(hash);
    }
  }
  return entries;
}

std::vector<std::string> LogMessages(const fs::path& logFile) {
  std::vector<std::string> messages;
  std::ifstream in(logFile);
  static constexpr std::string_view kTag = " [Quillmend_sdk] ";
  for (std::string line; std::getline(in, line);) {
    if (const auto tag = line.find(kTag); tag != std::string::npos) {
      messages.push_back(line.substr(tag + kTag.size()));
    }
  }
  return messages;
}

int Run(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::array<char, 4096> buffer;
  for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
    if (output != nullptr) output->append(buffer.data(), n);
  }
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

namespace {

const std::string kFfmpeg = "timeout 120 ffmpeg -nostdin -v error -y ";

// A tone of the given length; each channel mixes the sine with noise of its own seed.
std::string Tone(double seconds, int channels, int seed, const std::string& out) {
  std::ostringstream graph, joined;
  for (int c = 0; c < channels; ++c) {
    graph << "sine=frequency=440:sample_rate=44100:duration=" << seconds << "[s" << c
          << "];anoisesrc=color=pink:amplitude=0.2:sample_rate=44100:seed=" << seed + c
          << ":duration=" << seconds << "[n" << c << "];[s" << c << "][n" << c
          << "]amix=inputs=2:duration=shortest[c" << c << "];";
    joined << "[c" << c << "]";
  }
  graph << joined.str() << (channels == 1 ? "anull[a]" : "join=inputs=2:channel_layout=stereo[a]");
  return kFfmpeg + "-filter_complex \"" + graph.str() +
         "\" -map \"[a]\" -c:a aac -b:a 128k -cutoff 20000 " + Quote(out);
}

void Make(const std::string& name, const std::string& out) {
  const auto run = [](const std::string& command) {
    if (Run(command) != 0) throw std::runtime_error("failed: " + command);
  };
  const auto recorderize = [&](const std::string& command, const std::string& raw) {
    run(command);
    run(std::string(QUILLMEND_RECORDERIZE) + " " + Quote(raw) + " " + Quote(out));
  };
  const std::string raw = out + ".raw.m4a";
  if (name == "recorder.m4a") recorderize(Tone(8, 2, 7, raw), raw);
  if (name == "recorder-sample.m4a") recorderize(Tone(3, 2, 7, raw), raw);
  if (name == "mono.m4a") run(Tone(8, 1, 23, out));
  if (name == "mono-sample.m4a") run(Tone(4, 1, 11, out));
  if (name.ends_with("-cut.m4a")) {
    const auto whole = ReadFile(Media(name.substr(0, name.size() - 8) + ".m4a"));
    WriteFile(out, CutBefore(whole, "moov"));
  }
  if (name == "recorder.adts") run(kFfmpeg + "-i " + Media("recorder.m4a") + " -c copy " + out);
  if (name == "video.m4a") {
    run(kFfmpeg + "-f lavfi -i testsrc=duration=1:size=64x64 -c:v mpeg4 -brand \"M4A \" " + out);
  }
  if (name == "cover.m4a") {
    run(kFfmpeg + "-f lavfi -i color=red:size=32x32:duration=0.1 -frames:v 1 " + out + ".png");
    run(kFfmpeg + "-i " + Media("recorder-sample.m4a") + " -i " + out + ".png -map 0 -map 1 " +
        "-c:a copy -c:v png -disposition:v attached_pic " + out);
  }
  if (name == "video.mkv") {
    run(kFfmpeg + "-i " + Media("video.m4a") + " -i " + Media("recorder-sample.m4a") + " -c copy " +
        out);
  }
  if (name == "subtitles.mkv") {
    WriteFile(out + ".srt", Bytes{}.Text("1\n00:00:00,000 --> 00:00:01,000\nhi\n"));
    run(kFfmpeg + "-i " + out + ".srt " + out);
  }
  if (!fs::exists(out)) throw std::runtime_error("no recipe for " + name);
}

}  // namespace

std::string Media(const std::string& name) {
  const fs::path dir = QUILLMEND_TEST_MEDIA, path = dir / name;
  if (fs::exists(path)) return path.string();
  // One maker at a time across the test programs; a recipe may ask for another medium, which
  // this process then makes under the lock it already holds.
  static int held = 0;
  fs::create_directories(dir);
  const int lock = held++ == 0 ? ::open((dir / ".lock").c_str(), O_CREAT | O_RDWR, 0644) : -1;
  if (lock >= 0) ::flock(lock, LOCK_EX);
  if (!fs::exists(path)) {
    const fs::path part = dir / ("part-" + name);  // the same extension for the ffmpeg tool
    Make(name, part.string());
    fs::rename(part, path);
  }
  --held;
  if (lock >= 0) ::close(lock);
  return path.string();
}

ByteVector CutBefore(const ByteVector& file, const char* type) {
  std::uint64_t at = 0;
  while (at + 8 <= file.size() && std::memcmp(&file[at + 4], type, 4) != 0) {
    std::uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | file[at + i];
    if (size == 1 && at + 16 <= file.size()) {  // a 64-bit size follows the type
      for (int i = 8; i < 16; ++i) size = size << 8 | file[at + i];
    }
    if (size < 8) break;
    at += size;
  }
  return ByteVector(file.begin(), file.begin() + static_cast<long>(std::min(at, file.size())));
}

MediaInfo ReadMedia(const std::string& path) {
  av_log_set_level(AV_LOG_ERROR);
  MediaInfo info;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return info;
  if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams > 0) {
    info.opened = true;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      const AVCodecParameters* parameters = format->streams[i]->codecpar;
      info.streams.push_back(std::string(av_get_media_type_string(parameters->codec_type)) + ":" +
                             avcodec_get_name(parameters->codec_id));
    }
    info.channels = format->streams[0]->codecpar->ch_layout.nb_channels;
    if (format->duration > 0) info.seconds = format->duration / double(AV_TIME_BASE);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
      if (packet->stream_index == 0) {
        info.packets.push_back({packet->pos, {packet->data, packet->data + packet->size}});
      }
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
  }
  avformat_close_input(&format);
  return info;
}

int CountDecodeErrors(const std::string& path) {
  std::string output;
  if (Run(kFfmpeg + "-i " + Quote(path) + " -f null - 2>&1", &output) != 0) return -1;
  int errors = 0;
  for (std::size_t at = 0; (at = output.find("Error while decoding", at)) != std::string::npos;) {
    ++errors, ++at;
  }
  return errors;
}

std::vector<std::int16_t> DecodeMono(const std::string& path) {
  std::string output;
  const std::string command = kFfmpeg + "-i " + Quote(path) + " -f s16le -ac 1 -ar 44100 -";
  if (Run(command, &output) != 0) throw std::runtime_error("failed: " + command);
  std::vector<std::int16_t> samples(output.size() / 2);
  std::memcpy(samples.data(), output.data(), samples.size() * 2);
  return samples;
}

namespace {

// Normalised cross-correlation of reference[from, from + count) with candidate shifted by lag.
double Correlation(const std::vector<std::int16_t>& reference,
                   const std::vector<std::int16_t>& candidate, long from, long count, long lag) {
  double both = 0, ref = 0, cand = 0;
  for (long i = from; i < from + count; ++i) {
    const double a = reference[static_cast<std::size_t>(i)];
    const double b = candidate[static_cast<std::size_t>(i + lag)];
    both += a * b, ref += a * a, cand += b * b;
  }
  return ref > 0 && cand > 0 ? both / std::sqrt(ref * cand) : 0;
}

}  // namespace

double AudioMatch::Worst() const {
  return windows.empty() ? 0 : *std::min_element(windows.begin(), windows.end());
}

std::size_t AudioMatch::CountAbove(double correlation) const {
  return static_cast<std::size_t>(
      std::count_if(windows.begin(), windows.end(), [&](double c) { return c > correlation; }));
}

AudioMatch CompareAudio(const std::vector<std::int16_t>& reference,
                        const std::vector<std::int16_t>& candidate, std::size_t window, long maxLag,
                        long dropStep) {
  AudioMatch match;
  const long refSize = static_cast<long>(reference.size());
  const long candSize = static_cast<long>(candidate.size());
  const long count = static_cast<long>(window);
  // The delay is found on a short stretch after the start, where both signals have audio.
  if (maxLag + count / 2 + maxLag > std::min(refSize, candSize)) return match;
  double best = -2;
  for (long lag = -maxLag; lag <= maxLag; ++lag) {
    const double c = Correlation(reference, candidate, maxLag, count / 2, lag);
    if (c > best) best = c, match.lag = lag;
  }
  // Blocks may be lost and, where a false frame decoded, others inserted: the delay may move
  // either way, by up to the length difference and some more.
  const long moves = dropStep > 0 ? std::labs(refSize - candSize) / dropStep + 32 : 0;
  for (long from = 0; from + count <= refSize; from += count) {
    double windowBest = -2;
    for (long k = -moves; k <= moves; ++k) {
      const long lag = match.lag - k * dropStep;
      if (from + lag >= 0 && from + lag + count <= candSize) {
        windowBest = std::max(windowBest, Correlation(reference, candidate, from, count, lag));
      }
    }
    if (windowBest > -2) match.windows.push_back(windowBest);
  }
  return match;
}

}  // namespace quillmend::test
