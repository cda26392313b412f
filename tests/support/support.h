#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "quillmend_sdk.h"

namespace quillmend::test {

namespace fs = std::filesystem;
using ByteVector = std::vector<std::uint8_t>;

// Byte fixtures built in code: big-endian integers, text and whole boxes.
class Bytes {
 public:
  Bytes() = default;
  Bytes(std::initializer_list<std::uint8_t> bytes) : data_(bytes) {}
  Bytes& U8(std::uint8_t v) { return Fill(1, v); }
  Bytes& U16(std::uint16_t v) { return U8(v >> 8).U8(v & 0xFF); }
  Bytes& U32(std::uint32_t v) { return U16(v >> 16).U16(v & 0xFFFF); }
  Bytes& Fill(std::size_t count, std::uint8_t v) { return Raw(ByteVector(count, v)); }
  Bytes& Text(std::string_view text) { return Raw(ByteVector(text.begin(), text.end())); }
  Bytes& Append(const Bytes& other) { return Raw(other.data_); }
  Bytes& Raw(const ByteVector& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  // A box: 32-bit size, type, payload.
  static Bytes Box(std::string_view type, const Bytes& payload) {
    return Bytes{}.U32(static_cast<std::uint32_t>(8 + payload.size())).Text(type).Append(payload);
  }
  // A sample-table box: version and flags 0, the words before the count, the count, the entries.
  static Bytes Table(std::string_view type, const std::vector<std::uint32_t>& before,
                     std::uint32_t count, const std::vector<std::uint32_t>& entries) {
    Bytes payload;
    for (std::uint32_t word : before) payload.U32(word);
    payload.U32(count);
    for (std::uint32_t word : entries) payload.U32(word);
    return Box(type, Bytes{}.U32(0).Append(payload));
  }
  const ByteVector& data() const { return data_; }
  std::size_t size() const { return data_.size(); }

 private:
  ByteVector data_;
};

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const ByteVector& bytes);
inline void WriteFile(const fs::path& path, const Bytes& bytes) { WriteFile(path, bytes.data()); }
ByteVector ReadFile(const fs::path& path);
// Every entry under root by relative path: "dir" for a directory, else its size and a content
// hash (its modification time for files too large to hash), to show what a call wrote.
std::map<std::string, std::string> Snapshot(const fs::path& root);

// The messages of a log file, without time stamps, levels and module tag.
std::vector<std::string> LogMessages(const fs::path& logFile);

// Opens the library's log in a fresh directory for each test.
class LogTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OrvM4aInit(logDir_.path().c_str(), &logDir_), ORVM4A_OK); }
  // The messages logged since the banner.
  std::vector<std::string> Messages() const {
    auto messages = LogMessages(logDir_.File("quillmend_sdk.log"));
    if (!messages.empty()) messages.erase(messages.begin());
    return messages;
  }
  TempDir logDir_;
};

// Runs a shell command and returns its exit status; its standard output goes to `output` when
// given.
int Run(const std::string& command, std::string* output = nullptr);
std::string Quote(const std::string& text);

// Media made with the ffmpeg tool once per test run and shared by all test programs; the path
// of one by name. Tones are a 440 Hz sine mixed with pink noise of a fixed seed per channel,
// AAC at 128 kbit/s, 44100 Hz:
//   recorder.m4a (8 s), recorder-sample.m4a (3 s, the same audio's start): stereo at full
//     bandwidth, passed through the recorderize example so that frames begin as a hardware
//     recorder's do, nearly all with the heads the general repair knows;
//   mono.m4a (8 s), mono-sample.m4a (4 s): one channel, other seeds;
//   recorder-cut.m4a, mono-cut.m4a: the bytes before the moov box, as a recorder that lost
//     power leaves them; recorder.adts: recorder.m4a's frames as ADTS;
//   video.m4a: one second of video only, brand "M4A "; cover.m4a: audio with a cover image;
//   video.mkv: video and audio; subtitles.mkv: one subtitle stream.
std::string Media(const std::string& name);

// The bytes before the top-level box of the given type (all of them if there is none).
ByteVector CutBefore(const ByteVector& file, const char* type);

// What FFmpeg's demuxer reads back from a file: an oracle our code did not compute.
struct Packet {
  std::int64_t position;  // byte offset in the file, -1 when unknown
  ByteVector data;
};
struct MediaInfo {
  bool opened = false;
  std::vector<std::string> streams;  // "audio:aac", "video:png", ... in stream order
  int channels = 0;                  // of the first stream
  double seconds = 0;
  std::vector<Packet> packets;  // of the first stream
};
MediaInfo ReadMedia(const std::string& path);
// How many frames "ffmpeg -v error -f null" fails to decode, or -1 when the tool failed.
int CountDecodeErrors(const std::string& path);
// The tool's decoding as 16-bit mono at 44100 Hz.
std::vector<std::int16_t> DecodeMono(const std::string& path);

// How closely one signal follows another. The delay of `candidate` behind `reference` is found
// near the start (up to maxLag samples either way); then each whole window of `reference` gets
// the normalised cross-correlation with `candidate` at that delay. With a non-zero dropStep the
// candidate may lack or add whole blocks of that many samples (lost or false frames): each
// window then takes the best of the delays moved by any number of blocks.
struct AudioMatch {
  long lag = 0;
  std::vector<double> windows;
  double Worst() const;
  std::size_t CountAbove(double correlation) const;
};
AudioMatch CompareAudio(const std::vector<std::int16_t>& reference,
                        const std::vector<std::int16_t>& candidate, std::size_t window, long maxLag,
                        long dropStep = 0);

}  // namespace quillmend::test
