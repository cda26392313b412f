// Regressions found by fuzzing and by review for hostile input: each bad input ends with its
// documented code and log line, in bounded time, and leaves every input file as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "mp4/sample_tables.h"
#include "quillmend_sdk.h"
#include "sdk/repair_context.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<char>;

Bytes Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Write(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

void AppendU32(Bytes& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(char(value >> shift));
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quillmend-hostile-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "out");
    static int owner;
    ASSERT_EQ(OrvM4aInit(dir_.c_str(), &owner), ORVM4A_OK);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The library's messages since SetUp, without time stamps and levels.
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_ / "quillmend_sdk.log");
    for (std::string line; std::getline(in, line);) {
      const auto tag = line.find("[Quillmend_sdk] ");
      if (tag != std::string::npos) lines.push_back(line.substr(tag + 16));
    }
    return lines;
  }
  bool Logged(const std::string& message) const {
    const auto lines = Log();
    return std::find(lines.begin(), lines.end(), message) != lines.end();
  }

  fs::path dir_;
};

// A sample file made of nothing but "stco" boxes, each with entries that fit, was parsed once per
// occurrence: seconds for 256 KiB, hours for a few MiB. Only the last occurrence counts.
TEST_F(HostileInputTest, SampleTableRepeatedThroughTheFileIsReadInOnePass) {
  Bytes bytes;
  while (bytes.size() < (std::size_t{2} << 20)) {
    bytes.insert(bytes.end(), {'s', 't', 'c', 'o', 0, 0, 0, 0});
    AppendU32(bytes, 0x4000);
  }
  bytes.insert(bytes.end(), {'s', 't', 'c', 'o', 0, 0, 0, 0});
  for (std::uint32_t word : {2u, 0x30u, 0x40u}) AppendU32(bytes, word);
  Write(dir_ / "sample.m4a", bytes);

  quillmend::RepairContext context;
  ASSERT_EQ(quillmend::MapContextFile(context, (dir_ / "sample.m4a").string()), quillmend::kOk);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(quillmend::ReadChunkOffsets(context), quillmend::kOk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(*context.chunkOffsets, (quillmend::OffsetTable{0x30, 0x40}));
}

// Opening a FIFO for reading waited for a writer for ever.
TEST_F(HostileInputTest, FifoAsAnyInputIsRefusedAtOnce) {
  const fs::path fifo = dir_ / "fifo.m4a", out = dir_ / "out" / "fixed.m4a";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Row {
    std::function<int()> call;
    int code;
    const char* line;
  };
  const Row rows[] = {
      {[&] { return OrvM4aGeneralRepair(fifo.c_str(), out.c_str()); }, ORVM4A_ERR_MAP,
       "map failed! -4042"},
      {[&] { return OrvM4aAdvanceRepair(fifo.c_str(), fifo.c_str(), out.c_str()); },
       ORVM4A_ERR_ALLOC, "map corrupt failed!"},
  };
  for (const Row& row : rows) {
    auto result = std::async(std::launch::async, row.call);
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the stuck call go on
      FAIL() << "a repair of a FIFO did not return";
    }
    EXPECT_EQ(result.get(), row.code);
    EXPECT_TRUE(Logged(row.line)) << row.line;
  }
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
