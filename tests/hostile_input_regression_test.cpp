// Regressions found by fuzzing and by review for hostile input: each bad input ends with its
// documented code and log line, in bounded time, and leaves every input file as it was.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using quillmend::test::U8;
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
    fs::create_directories(dir_ / "out");
    static int owner;
    ASSERT_EQ(OrvM4aInit(U8(dir_).c_str(), &owner), ORVM4A_OK);
  }

  // The library's messages since SetUp, without time stamps and levels.
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_ / "quillmend_sdk.log");
    for (std::string line; std::getline(in, line);) {
      if (line.ends_with('\r')) line.pop_back();
      const auto tag = line.find("[Quillmend_sdk] ");
      if (tag != std::string::npos) lines.push_back(line.substr(tag + 16));
    }
    return lines;
  }
  bool Logged(const std::string& message) const {
    const auto lines = Log();
    return std::find(lines.begin(), lines.end(), message) != lines.end();
  }

  quillmend::test::TempDir temp_;
  const fs::path& dir_ = temp_.path();
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
  ASSERT_EQ(quillmend::MapContextFile(context, U8(dir_ / "sample.m4a")), quillmend::kOk);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(quillmend::ReadChunkOffsets(context), quillmend::kOk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(*context.chunkOffsets, (quillmend::OffsetTable{0x30, 0x40}));
}

#ifndef _WIN32
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
#endif

// The intermediate file's removal deleted an input lying where it goes, and the output was
// written over an input named as the output, or removed with the intermediate file it was named
// like. Now nothing is touched and the call says why.
TEST_F(HostileInputTest, OutputPathsThatHitAnInputAreRefused) {
  const fs::path recording = dir_ / "recording.m4a";
  fs::copy_file(quillmend::test::Media("mono-sample.m4a"), recording);
  const Bytes original = Read(recording);
  const fs::path out = dir_ / "out";
  struct Row {
    const char* name;
    fs::path damaged, sample, output;  // no sample: a general repair
    const char* line;                  // after ">>[!] "
  };
  const Row rows[] = {
      {"damaged as tmp.adts", out / "tmp.adts", "", out / "fixed.m4a",
       "The repair would write over its input file: "},
      {"damaged as output", out / "in.m4a", "", out / "in.m4a",
       "The repair would write over its input file: "},
      {"hard link as output", out / "in.m4a", "", out / "link.m4a",
       "The repair would write over its input file: "},
      {"output as tmp.adts", out / "in.m4a", "", out / "tmp.adts",
       "The output is named like the intermediate file: "},
      {"sample as tmp.pcm", out / "in.m4a", out / "tmp.pcm", out / "fixed.m4a",
       "The repair would write over its input file: "},
      {"damaged as tmp.pcm", out / "tmp.pcm", out / "sample.m4a", out / "fixed.m4a",
       "The repair would write over its input file: "},
      {"sample as output", out / "in.m4a", out / "sample.m4a", out / "sample.m4a",
       "The repair would write over its input file: "},
      {"output as tmp.pcm", out / "in.m4a", out / "sample.m4a", out / "tmp.pcm",
       "The output is named like the intermediate file: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(out);
    fs::create_directories(out);
    fs::copy_file(recording, row.damaged);
    if (!row.sample.empty()) fs::copy_file(recording, row.sample);
    if (row.output.filename() == "link.m4a") fs::create_hard_link(row.damaged, row.output);
    const std::size_t logged = Log().size();
    const int code = row.sample.empty()
                         ? OrvM4aGeneralRepair(U8(row.damaged).c_str(), U8(row.output).c_str())
                         : OrvM4aAdvanceRepair(U8(row.damaged).c_str(), U8(row.sample).c_str(),
                                               U8(row.output).c_str());
    EXPECT_EQ(code, ORVM4A_ERR_OUTPUT_CLASH);
    // The entry line, the guard's line with the path, the stage line.
    const auto lines = Log();
    ASSERT_EQ(lines.size(), logged + 3);
    EXPECT_EQ(lines[logged + 1].rfind(std::string(">>[!] ") + row.line, 0), 0u)
        << lines[logged + 1];
    EXPECT_EQ(lines[logged + 2], "fix failed! -4054");
    EXPECT_EQ(Read(row.damaged), original);
    if (!row.sample.empty()) {
      EXPECT_EQ(Read(row.sample), original);
    }
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(out)) files += entry.is_regular_file();
    EXPECT_EQ(files, fs::exists(out / "link.m4a") + 1 + !row.sample.empty()) << "a file was added";
  }
}

}  // namespace
