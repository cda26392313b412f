#include "support/support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace quillmend::test {

std::string U8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

TempDir::TempDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const fs::path candidate =
        fs::temp_directory_path() / ("quillmend-test-" + std::to_string(random()));
    if (fs::create_directory(candidate)) path_ = candidate;
  }
  if (path_.empty()) throw std::runtime_error("no temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteFile(const fs::path& path, const ByteVector& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
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
    const ByteVector bytes = entry.is_regular_file() ? ReadFile(entry.path()) : ByteVector{};
    entries[fs::relative(entry.path(), root).generic_string()] =
        entry.is_directory()
            ? "dir"
            : std::to_string(std::hash<std::string>{}({bytes.begin(), bytes.end()}));
  }
  return entries;
}

Lines LogTest::Messages() const {
  Lines messages;
  std::ifstream in(logDir_.File("quillmend_sdk.log"));
  static constexpr std::string_view kTag = " [Quillmend_sdk] ";
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with('\r')) line.pop_back();  // Windows ends log lines with CR LF
    const auto tag = line.find(kTag);
    if (tag != std::string::npos) messages.push_back(line.substr(tag + kTag.size()));
  }
  EXPECT_EQ(messages.at(0), "Quillmend Sdk: 1, 0, 0, 25-d-4f7fc416");  // the banner
  messages.erase(messages.begin());
  return messages;
}

// Through the system's command processor: cmd.exe on Windows, which strips one pair of quotes
// around the whole line (hence the outer pair), and sh elsewhere.
int Run(const std::string& command, std::string* output) {
#ifdef _WIN32
  FILE* pipe = ::_popen(("\"" + command + "\"").c_str(), "rb");
#else
  FILE* pipe = ::popen(command.c_str(), "r");
#endif
  if (pipe == nullptr) return -1;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    if (output != nullptr) output->append(buffer, n);
  }
#ifdef _WIN32
  return ::_pclose(pipe);
#else
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

#ifdef _WIN32
std::string Child::Start(const std::string& program, const std::string& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE write = nullptr;
  if (!::CreatePipe(&output_, &write, &inherit, 0)) return "";
  ::SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = write;
  std::wstring line = L"\"" + fs::path(program).wstring() + L"\" " + fs::path(arguments).wstring();
  PROCESS_INFORMATION child{};
  const bool started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &start, &child);
  ::CloseHandle(write);
  if (!started) return "";
  ::CloseHandle(child.hThread);
  process_ = child.hProcess;
  std::string text;
  char c = 0;
  for (DWORD n = 0; ::ReadFile(output_, &c, 1, &n, nullptr) && n == 1 && c != '\n';) {
    if (c != '\r') text += c;
  }
  return text;
}

int Child::Stop() {
  if (process_ != nullptr) {
    ::TerminateProcess(process_, 0);
    ::WaitForSingleObject(process_, INFINITE);
    ::CloseHandle(process_);
  }
  if (output_ != nullptr) ::CloseHandle(output_);
  process_ = output_ = nullptr;
  return 0;
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

std::string ProgramDirectory() {
  wchar_t path[MAX_PATH + 1] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return U8(fs::path(path).parent_path());
}
#else
std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ProgramDirectory() { return U8(fs::canonical("/proc/self/exe").parent_path()); }

std::string Child::Start(const std::string& program, const std::string& arguments) {
  // The shell's process id is the program's: exec keeps it.
  pipe_ =
      ::popen(("echo $$; exec " + Quote(program) + " " + arguments + " 2>/dev/null").c_str(), "r");
  char line[1024] = {};
  if (pipe_ == nullptr || std::fgets(line, sizeof line, pipe_) == nullptr) return "";
  pid_ = std::atoi(line);
  if (std::fgets(line, sizeof line, pipe_) == nullptr) return "";
  std::string text = line;
  if (text.ends_with('\n')) text.pop_back();
  return text;
}

int Child::Stop() {
  if (pipe_ == nullptr) return 0;
  ::kill(pid_, SIGTERM);
  const int status = ::pclose(pipe_);
  pipe_ = nullptr;
  return status;
}
#endif

namespace {

#ifdef _WIN32
// The tool copied beside the test program; Windows has no time-out command to put before it.
const std::string kFfmpeg = Quote(ProgramDirectory() + "\\ffmpeg.exe") + " -nostdin -v error -y ";
#else
const std::string kFfmpeg = "timeout 120 ffmpeg -nostdin -v error -y ";
#endif

[[maybe_unused]] void MustRun(const std::string& command) {
  if (Run(command) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

#ifdef _WIN32
// The recordings come from the native test run, which has the tools that make them.
std::string Media(const std::string& name) {
  const fs::path path = MediaDirectory() / name;
  if (!fs::exists(path)) {
    throw std::runtime_error("missing " + U8(path) + ": run the native tests first");
  }
  return U8(path);
}
#else
namespace {

// A tone of the given length: each channel mixes the sine with noise of its own seed.
void Tone(double seconds, int channels, int seed, const std::string& out) {
  std::ostringstream graph, joined;
  for (int c = 0; c < channels; ++c) {
    graph << "sine=f=440:r=44100:d=" << seconds << "[s" << c
          << "];anoisesrc=c=pink:a=0.2:r=44100:seed=" << seed + c << ":d=" << seconds << "[n" << c
          << "];[s" << c << "][n" << c << "]amix=inputs=2:duration=shortest[c" << c << "];";
    joined << "[c" << c << "]";
  }
  graph << joined.str() << (channels == 1 ? "anull" : "join=inputs=2:channel_layout=stereo");
  MustRun(kFfmpeg + "-filter_complex \"" + graph.str() +
          "[a]\" -map \"[a]\" -c:a aac -b:a 128k -cutoff 20000 " + Quote(out));
}

}  // namespace

std::string Media(const std::string& name) {
  const fs::path dir = MediaDirectory(), path = dir / name;
  if (fs::exists(path)) return path.string();
  // What a medium is made from is made first, under a lock of its own.
  const bool cut = name.ends_with("-cut.m4a");
  const std::string from = cut ? Media(name.substr(0, name.size() - 8) + ".m4a")
                           : name.ends_with(".adts") ? Media("recorder.m4a")
                                                     : "";
  fs::create_directories(dir);
  const int lock = ::open((dir / ".lock").c_str(), O_CREAT | O_RDWR, 0644);
  ::flock(lock, LOCK_EX);  // one maker at a time across the test programs
  const std::string part = (dir / ("part-" + name)).string();  // the extension tells the format
  if (fs::exists(path)) {
  } else if (cut) {
    WriteFile(part, CutBefore(ReadFile(from), "moov"));
  } else if (!from.empty()) {
    MustRun(kFfmpeg + "-i " + from + " -c copy " + part);
  } else if (name.starts_with("mono")) {
    Tone(name == "mono.m4a" ? 8 : 4, 1, name == "mono.m4a" ? 23 : 11, part);
  } else if (name == "video.m4a") {
    MustRun(kFfmpeg + "-f lavfi -i testsrc=d=1:s=64x64 -c:v mpeg4 -brand \"M4A \" " + part);
  } else if (name.starts_with("recorder")) {
    Tone(name == "recorder.m4a" ? 8 : 3, 2, 7, part + ".m4a");
    MustRun(std::string(QUILLMEND_RECORDERIZE) + " " + part + ".m4a " + part);
  } else {
    throw std::runtime_error("no recipe for " + name);
  }
  if (!fs::exists(path)) fs::rename(part, path);
  ::close(lock);
  return path.string();
}
#endif

fs::path MediaDirectory() {
  const char* dir = std::getenv("QUILLMEND_TEST_MEDIA");
  return fs::u8path(dir != nullptr ? dir : QUILLMEND_TEST_MEDIA);
}

void Recorderize(const std::string& from, const std::string& to) {
  MustRun(Quote(QUILLMEND_RECORDERIZE) + " " + Quote(from) + " " + Quote(to));
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
  return ByteVector(file.begin(), file.begin() + long(std::min<std::uint64_t>(at, file.size())));
}

MediaInfo ReadMedia(const std::string& path, int stream) {
  av_log_set_level(AV_LOG_ERROR);
  MediaInfo info;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return info;
  if (avformat_find_stream_info(format, nullptr) >= 0 && unsigned(stream) < format->nb_streams) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      const AVCodecParameters* parameters = format->streams[i]->codecpar;
      info.streams.push_back(std::string(av_get_media_type_string(parameters->codec_type)) + ":" +
                             avcodec_get_name(parameters->codec_id));
    }
    const AVCodecParameters* asked = format->streams[stream]->codecpar;
    info.channels = asked->ch_layout.nb_channels;
    info.rate = asked->sample_rate;
    info.profile = asked->profile;
    info.seconds = std::max<std::int64_t>(format->duration, 0) / double(AV_TIME_BASE);
    AVPacket* packet = av_packet_alloc();
    for (; av_read_frame(format, packet) >= 0; av_packet_unref(packet)) {
      if (packet->stream_index != stream) continue;
      info.packets.push_back({packet->pos, {packet->data, packet->data + packet->size}});
    }
    av_packet_free(&packet);
  }
  avformat_close_input(&format);
  return info;
}

std::string FfmpegCommand() { return kFfmpeg; }

std::string MadeWith(const std::string& name, const std::string& command) {
  const fs::path path = MediaDirectory() / fs::u8path(name);
  if (fs::exists(path)) return U8(path);
  fs::create_directories(path.parent_path());
  const fs::path part = path.parent_path() / ("part-" + std::to_string(std::random_device{}()) +
                                              "-" + U8(path.filename()));
  std::string run = command;
  run.replace(run.find("OUT"), 3, Quote(U8(part)));
  if (Run(run + " 2>&1") != 0) throw std::runtime_error("failed: " + run);
  fs::rename(part, path);
  return U8(path);
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

namespace {

std::vector<std::int16_t> DecodeMono(const std::string& path) {
  std::string output;
  const std::string command = kFfmpeg + "-i " + Quote(path) + " -f s16le -ac 1 -ar 44100 -";
  if (Run(command, &output) != 0) throw std::runtime_error("failed: " + command);
  std::vector<std::int16_t> samples(output.size() / 2);
  std::memcpy(samples.data(), output.data(), samples.size() * 2);
  return samples;
}

}  // namespace

std::vector<double> CompareAudio(const std::string& referencePath, const std::string& candidatePath,
                                 std::size_t window, long dropStep) {
  const auto reference = DecodeMono(referencePath), candidate = DecodeMono(candidatePath);
  const long refSize = long(reference.size()), candSize = long(candidate.size());
  const long count = long(window), maxLag = 4096;
  // Normalised cross-correlation of reference[from, from + n) with candidate shifted by lag.
  const auto correlation = [&](long from, long n, long lag) {
    double both = 0, ref = 0, cand = 0;
    for (long i = from; i < from + n; ++i) {
      const double a = reference[std::size_t(i)], b = candidate[std::size_t(i + lag)];
      both += a * b, ref += a * a, cand += b * b;
    }
    return ref > 0 && cand > 0 ? both / std::sqrt(ref * cand) : 0;
  };
  std::vector<double> windows;
  if (2 * maxLag + count / 2 > std::min(refSize, candSize)) return windows;
  // The delay, on a short stretch after the start where both signals have audio.
  double best = -2;
  long delay = 0;
  for (long lag = -maxLag; lag <= maxLag; ++lag) {
    if (const double c = correlation(maxLag, count / 2, lag); c > best) best = c, delay = lag;
  }
  // Lost and false blocks may move the delay either way, by the length difference and more.
  const long moves = dropStep > 0 ? std::labs(refSize - candSize) / dropStep + 32 : 0;
  for (long from = 0; from + count <= refSize; from += count) {
    double windowBest = -2;
    for (long k = -moves; k <= moves; ++k) {
      const long lag = delay + k * dropStep;
      if (from + lag >= 0 && from + lag + count <= candSize) {
        windowBest = std::max(windowBest, correlation(from, count, lag));
      }
    }
    if (windowBest > -2) windows.push_back(windowBest);
  }
  return windows;
}

}  // namespace quillmend::test
