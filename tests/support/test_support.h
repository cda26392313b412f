#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quillmend::test {

// Builds byte fixtures: big-endian integers, raw text and whole boxes.
class Bytes {
 public:
  Bytes() = default;
  Bytes(std::initializer_list<std::uint8_t> bytes) : data_(bytes) {}

  Bytes& U8(std::uint8_t value);
  Bytes& U16(std::uint16_t value);
  Bytes& U32(std::uint32_t value);
  Bytes& Text(std::string_view text);
  Bytes& Fill(std::size_t count, std::uint8_t value);
  Bytes& Append(const Bytes& other);

  // A box: 32-bit size, type, payload.
  static Bytes Box(std::string_view type, const Bytes& payload);

  const std::vector<std::uint8_t>& data() const { return data_; }
  std::size_t size() const { return data_.size(); }

 private:
  std::vector<std::uint8_t> data_;
};

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void WriteFile(const std::filesystem::path& path, const Bytes& bytes);
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
// A content hash, to show that an input was not written.
std::uint64_t HashFile(const std::filesystem::path& path);

// One line of the library's log file: its level name and the text after the module tag.
struct LogLine {
  std::string level;
  std::string message;
};
std::vector<LogLine> ReadLog(const std::filesystem::path& logFile);
std::vector<std::string> LogMessages(const std::filesystem::path& logFile);

// Runs a shell command (tests only) and returns its exit status; output goes to `output` when
// given.
int Run(const std::string& command, std::string* output = nullptr);
std::string Quote(const std::string& text);

// Makes a recording with the ffmpeg tool: `seconds` of a tone mixed with noise, AAC at 128
// kbit/s in an .m4a container; extra options are placed before the output name.
void MakeRecording(const std::string& path, double seconds, const std::string& extra = "");

// The first two bytes (big-endian) of every audio packet, in order, as ffprobe reports them.
std::vector<std::uint16_t> ProbePacketHeads(const std::string& path);

}  // namespace quillmend::test
