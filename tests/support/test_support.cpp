#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace quillmend::test {

Bytes& Bytes::U8(std::uint8_t value) {
  data_.push_back(value);
  return *this;
}

Bytes& Bytes::U16(std::uint16_t value) { return U8(value >> 8).U8(value & 0xFF); }

Bytes& Bytes::U32(std::uint32_t value) { return U16(value >> 16).U16(value & 0xFFFF); }

Bytes& Bytes::Text(std::string_view text) {
  data_.insert(data_.end(), text.begin(), text.end());
  return *this;
}

Bytes& Bytes::Fill(std::size_t count, std::uint8_t value) {
  data_.insert(data_.end(), count, value);
  return *this;
}

Bytes& Bytes::Append(const Bytes& other) {
  data_.insert(data_.end(), other.data_.begin(), other.data_.end());
  return *this;
}

Bytes Bytes::Box(std::string_view type, const Bytes& payload) {
  Bytes box;
  box.U32(static_cast<std::uint32_t>(8 + payload.size())).Text(type).Append(payload);
  return box;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillmend-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  WriteFile(path, bytes.data());
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::uint64_t HashFile(const std::filesystem::path& path) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (std::uint8_t byte : ReadFile(path)) hash = (hash ^ byte) * 1099511628211ull;
  return hash;
}

std::vector<LogLine> ReadLog(const std::filesystem::path& logFile) {
  std::vector<LogLine> lines;
  std::ifstream in(logFile);
  static constexpr std::string_view kTag = " [Quillmend_sdk] ";
  for (std::string line; std::getline(in, line);) {
    const auto open = line.find(" [");
    const auto close = line.find("] ", open);
    const auto tag = line.find(kTag);
    if (open == std::string::npos || close == std::string::npos || tag == std::string::npos) {
      continue;
    }
    lines.push_back({line.substr(open + 2, close - open - 2), line.substr(tag + kTag.size())});
  }
  return lines;
}

std::vector<std::string> LogMessages(const std::filesystem::path& logFile) {
  std::vector<std::string> messages;
  for (const LogLine& line : ReadLog(logFile)) messages.push_back(line.message);
  return messages;
}

int Run(const std::string& command, std::string* output) {
  if (output == nullptr) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  output->clear();
  std::array<char, 4096> buffer;
  for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
    output->append(buffer.data(), n);
  }
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void MakeRecording(const std::string& path, double seconds, const std::string& extra) {
  std::ostringstream command;
  command << "timeout 300 ffmpeg -nostdin -v error -y"
          << " -f lavfi -i \"sine=frequency=440:sample_rate=44100:duration=" << seconds << "\""
          << " -f lavfi -i \"anoisesrc=color=pink:amplitude=0.2:seed=7:sample_rate=44100:duration="
          << seconds << "\""
          << " -filter_complex \"[0:a][1:a]amix=inputs=2:duration=shortest\""
          << " -ac 2 -ar 44100 -c:a aac -b:a 128k " << extra << " " << Quote(path);
  ASSERT_EQ(Run(command.str()), 0) << command.str();
}

std::vector<std::uint16_t> ProbePacketHeads(const std::string& path) {
  std::string output;
  const std::string command =
      "timeout 300 ffprobe -v error -select_streams a:0 -show_packets -show_data " + Quote(path);
  if (Run(command, &output) != 0) throw std::runtime_error("ffprobe failed: " + command);
  std::vector<std::uint16_t> heads;
  std::istringstream in(output);
  bool dataFollows = false;
  for (std::string line; std::getline(in, line);) {
    if (line == "data=") {
      dataFollows = true;
    } else if (dataFollows) {
      // "00000000: de02 004c ..." - the first group holds the first two bytes.
      heads.push_back(static_cast<std::uint16_t>(std::stoul(line.substr(10, 4), nullptr, 16)));
      dataFollows = false;
    }
  }
  return heads;
}

}  // namespace quillmend::test
