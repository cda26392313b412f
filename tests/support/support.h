#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "quillmend_sdk.h"

namespace quillmend::test {

namespace fs = std::filesystem;
using ByteVector = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// Byte fixtures built in code: big-endian integers, text and whole boxes.
struct Bytes {
  Bytes() = default;
  Bytes(std::initializer_list<std::uint8_t> bytes) : data(bytes) {}
  Bytes& U8(std::uint8_t v) { return Fill(1, v); }
  Bytes& U16(std::uint16_t v) { return U8(v >> 8).U8(v & 0xFF); }
  Bytes& U32(std::uint32_t v) { return U16(v >> 16).U16(v & 0xFFFF); }
  Bytes& Fill(std::size_t count, std::uint8_t v) { return Raw(ByteVector(count, v)); }
  Bytes& Text(std::string_view text) { return Raw(ByteVector(text.begin(), text.end())); }
  Bytes& Raw(const ByteVector& bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return *this;
  }
  std::size_t size() const { return data.size(); }
  // A box: 32-bit size, type, payload.
  static Bytes Box(std::string_view type, const Bytes& payload) {
    return Bytes{}.U32(std::uint32_t(8 + payload.size())).Text(type).Raw(payload.data);
  }
  ByteVector data;
};

// UTF-8 text of a path, as the library's calls take paths.
std::string U8(const fs::path& path);

// A fresh directory under the system's temporary directory, removed with everything in it.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string File(std::string_view name) const { return U8(path_ / name); }
  fs::path path_;
};

void WriteFile(const fs::path& path, const ByteVector& bytes);
inline void WriteFile(const fs::path& path, const Bytes& bytes) { WriteFile(path, bytes.data); }
ByteVector ReadFile(const fs::path& path);
// Every entry under root by relative path: "dir", or a hash of a file's content, to show what a
// call wrote.
std::map<std::string, std::string> Snapshot(const fs::path& root);

// Opens the library's log in a fresh directory for each test.
class LogTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OrvM4aInit(U8(logDir_.path()).c_str(), &logDir_), ORVM4A_OK); }
  // The messages logged since the banner (checked), without time, level and module tag.
  Lines Messages() const;
  TempDir logDir_;
};

// Runs a shell command: its exit status, its standard output into `output` if given.
int Run(const std::string& command, std::string* output = nullptr);
std::string Quote(const std::string& text);
// A program running beside the test with its standard output on a pipe (its standard error
// dropped), such as a server that says where it listens on its first line.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  ~Child() { Stop(); }
  // Its first line of output, without the line end; "" when it ended without one.
  std::string Start(const std::string& program, const std::string& arguments);
  // Asks it to stop (SIGTERM; on Windows, where Wine has no console to send Ctrl-C to, it is
  // ended) and waits: the exit status, 0 on Windows.
  int Stop();

 private:
#ifdef _WIN32
  void* process_ = nullptr;
  void* output_ = nullptr;
#else
  FILE* pipe_ = nullptr;
  int pid_ = 0;
#endif
};

// The directory of the running test program, where the build puts the tools beside it.
std::string ProgramDirectory();

// Media made with the ffmpeg tool once per ctest run and shared by all test programs, by name:
// recorder.m4a (8 s of a tone with noise, stereo, through the recorderize example so that nearly
// every frame starts with a head the general repair knows), recorder-sample.m4a (its first 3 s),
// mono.m4a (8 s), mono-sample.m4a (4 s, other noise), recorder-cut.m4a and mono-cut.m4a (the
// bytes before the moov box, as a recorder that lost power leaves them), recorder.adts,
// video.m4a (video only).
std::string Media(const std::string& name);
// Where they are: QUILLMEND_TEST_MEDIA when set (the Windows and sanitizer runs read the native
// run's), else this build's own directory.
std::filesystem::path MediaDirectory();

// Rewrites the frames of `from` into `to` the way recorders write them: the other long-window
// shape than FFmpeg's encoder, and the heads the general repair knows (the recorderize example).
void Recorderize(const std::string& from, const std::string& to);

// The bytes before the first top-level box of the given type (all of them if there is none).
ByteVector CutBefore(const ByteVector& file, const char* type);

// What FFmpeg's demuxer reads back from a file: an oracle our code did not compute.
struct MediaInfo {
  std::vector<std::string> streams;  // "audio:aac", "video:png", ... in stream order
  int channels = 0;                  // of the stream asked for, as are the packets
  int rate = 0;
  int profile = -1;                  // FFmpeg's profile number, -1 when it names none
  double seconds = 0;
  struct Packet {
    std::int64_t position;  // in the file, -1 when unknown
    ByteVector data;
  };
  std::vector<Packet> packets;
};
// Of stream `stream` (0: the first), whatever its kind.
MediaInfo ReadMedia(const std::string& path, int stream = 0);
// A recording made once per test run by a command (the ffmpeg tool, GStreamer) that writes OUT,
// kept in the media directory under `name` (which may hold a folder): the Windows and sanitizer
// runs read the native run's.
std::string MadeWith(const std::string& name, const std::string& command);

// The ffmpeg tool as the tests run it (the one beside the test program on Windows), quiet and
// overwriting, with a blank after it: "ffmpeg -nostdin -v error -y ".
std::string FfmpegCommand();
// How many frames "ffmpeg -v error -f null" fails to decode, or -1 when the tool failed.
int CountDecodeErrors(const std::string& path);

// How closely the audio of `candidate` follows `reference`, both decoded by the ffmpeg tool to
// mono: the normalised cross-correlation of each window of `window` samples at the delay found
// near the start. With a non-zero dropStep, blocks of that many samples may be missing or added
// (lost or false frames), and each window takes the best of the delays moved by whole blocks.
std::vector<double> CompareAudio(const std::string& reference, const std::string& candidate,
                                 std::size_t window, long dropStep = 0);

}  // namespace quillmend::test
