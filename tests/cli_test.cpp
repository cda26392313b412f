// The quillmend tool end to end, as a user runs it.
#include <regex>

#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using Fields = std::map<std::string, std::string>;

// A flat JSON object of one result line: its keys and raw values (strings unquoted).
Fields ParseFlatJson(const std::string& line) {
  Fields fields;
  static const std::regex field(R"re("([a-z_]+)":("((?:[^"\\]|\\.)*)"|[^,}]*))re");
  for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it) {
    if (!(*it)[3].matched) {
      fields[(*it)[1]] = (*it)[2].str();
      continue;
    }
    std::string text;  // escapes undone: a path needs no more than \\ and \"
    const std::string raw = (*it)[3].str();
    for (std::size_t i = 0; i < raw.size(); ++i) text += raw[i] == '\\' ? raw[++i] : raw[i];
    fields[(*it)[1]] = text;
  }
  return fields;
}

void ExpectFields(const Fields& fields, const Fields& expected) {
  for (const auto& [key, value] : expected) EXPECT_EQ(fields.at(key), value) << key;
}

#ifdef _WIN32
const std::string kCli = test::ProgramDirectory() + "\\quillmend.exe";
const char kProgram[] = "quillmend.exe";
// The command that runs the tool with its default log directory under dir.
std::string WithStateDirectory(const std::string& dir) {
  return "set \"LOCALAPPDATA=" + dir + "\" && " + test::Quote(kCli);
}
#else
const std::string kCli = QUILLMEND_CLI;
const char kProgram[] = "quillmend";
std::string WithStateDirectory(const std::string& dir) {
  return "env XDG_STATE_HOME=" + dir + " " + test::Quote(kCli);
}
#endif

class CliTest : public testing::Test {
 protected:
  // Copies a medium into this test's directory.
  std::string Copy(const char* medium, const char* as) {
    fs::copy_file(test::Media(medium), work_.path() / as);
    return work_.File(as);
  }
  // Runs the tool with the arguments: its exit status, its standard output in out_.
  int Quillmend(const std::string& arguments, const std::string& command = test::Quote(kCli)) {
    out_.clear();
#ifdef _WIN32
    const int status = test::Run(command + " " + arguments + " 2>NUL", &out_);
    std::erase(out_, '\r');  // the text-mode standard output's line ends
    return status;
#else
    return test::Run("timeout 300 " + command + " " + arguments + " 2>/dev/null", &out_);
#endif
  }
  int Repair(const std::string& arguments) {
    return Quillmend("repair " + arguments + " --log-dir " + test::U8(logs_.path()));
  }
  void ExpectOutput(const std::string& text) {
    EXPECT_NE(out_.find(text), std::string::npos) << out_;
  }
  test::TempDir work_, logs_;
  const std::string log_ = logs_.File("quillmend_sdk.log");
  std::string out_;
};

TEST_F(CliTest, RepairsBesideTheOriginalAndNeverOverwritesWithoutForce) {
  const std::string input = Copy("recorder-cut.m4a", "cut.m4a");
  ASSERT_EQ(Repair(test::Quote(input)), 0) << out_;
  const std::string output = work_.File("cut-repaired.m4a");
  const auto media = test::ReadMedia(output);
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "repaired  %s -> %s (%.1f s, %zu AAC frames) [log: %s]\n", input.c_str(),
                output.c_str(), media.seconds, media.packets.size(), log_.c_str());
  EXPECT_EQ(out_, expected);
  EXPECT_GT(media.packets.size(), 300u);
  EXPECT_TRUE(fs::exists(log_));

  test::WriteFile(output, test::Bytes{}.Text("precious"));
  EXPECT_EQ(Repair(input), 1);
  ExpectOutput("the output exists: use --force to replace it");
  EXPECT_EQ(test::ReadFile(output).size(), 8u);
  EXPECT_EQ(Repair(input + " --force"), 0);
  EXPECT_FALSE(test::ReadMedia(output).packets.empty());
  EXPECT_EQ(Repair(input + " -o " + input + " --force"), 1);  // never the damaged file itself
}

TEST_F(CliTest, ABatchGoesOnPastABadFileAndSaysSo) {
  const std::string a = Copy("recorder-cut.m4a", "a.m4a"), b = Copy("recorder.m4a", "b.m4a");
  const std::string bad = work_.File("isom.mp4");
  test::WriteFile(bad, test::Bytes{}.U32(0x20).Text("ftypisom").Fill(20, 0).U32(8).Text("mdat"));
  EXPECT_EQ(Repair(a + " " + bad + " " + b + " --out-dir " + work_.File("fixed")), 1);
  EXPECT_TRUE(fs::exists(work_.File("fixed/a-repaired.m4a")));
  EXPECT_TRUE(fs::exists(work_.File("fixed/b-repaired.m4a")));
  ExpectOutput("FAILED    " + bad + ": not an M4A file: its ftyp box names another brand [code " +
               "-4043; log: " + log_ + "]");
  ExpectOutput("2 of 3 files repaired");

  EXPECT_EQ(Repair("--json " + a + " " + work_.File("missing.m4a")), 1);
  std::istringstream lines(out_);
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  const Fields ok = ParseFlatJson(first);
  ExpectFields(ok, {{"input", a},
                    {"output", work_.File("a-repaired.m4a")},
                    {"mode", "general"},
                    {"code", "0"},
                    {"repaired", "true"}});
  EXPECT_EQ(std::stoul(ok.at("aac_frames")), test::ReadMedia(ok.at("output")).packets.size());
  ExpectFields(ParseFlatJson(second),
               {{"code", "-4042"}, {"repaired", "false"}, {"aac_frames", "null"}, {"log", log_}});
}

TEST_F(CliTest, AdvancedRepairWithASample) {
  const std::string input = Copy("recorder-cut.m4a", "cut.m4a");
  const std::string sample = Copy("recorder-sample.m4a", "healthy.m4a");
  ASSERT_EQ(Repair("--json " + input + " --sample " + sample), 0) << out_;
  const Fields result = ParseFlatJson(out_);
  ExpectFields(result, {{"mode", "advanced"}, {"repaired", "true"}});
  EXPECT_NEAR(std::stod(result.at("duration_seconds")), 8.0, 0.3);
  EXPECT_FALSE(fs::exists(work_.File("tmp.pcm")));
  // The library reports 0 once the transcoder has run, whatever it did; the tool looks at the
  // output itself.
  const fs::path bin = work_.path() / "bin";
  fs::create_directory(bin);
  fs::copy_file(kCli, bin / kProgram);
#ifdef _WIN32
  // A stand-in that fails at once: the tool itself, which does not know ffmpeg's arguments.
  fs::copy_file(kCli, bin / "ffmpeg.exe");
  for (const auto& entry : fs::directory_iterator(test::ProgramDirectory())) {
    if (entry.path().extension() == ".dll")
      fs::copy_file(entry.path(), bin / entry.path().filename());
  }
#else
  test::WriteFile(bin / "ffmpeg", test::Bytes{}.Text("#!/bin/sh\nexit 1\n"));
  fs::permissions(bin / "ffmpeg", fs::perms::owner_exec, fs::perm_options::add);
#endif
  EXPECT_EQ(Quillmend("repair " + input + " -o " + work_.File("other.m4a") + " --sample " + sample +
                          " --log-dir " + test::U8(logs_.path()),
                      test::Quote(test::U8(bin / kProgram))),
            1);
  ExpectOutput("FAILED    " + input + ": the ffmpeg tool ran but wrote no output file [code 0");
}

TEST_F(CliTest, InspectUsageVersionAndTheDefaultLogDirectory) {
  ASSERT_EQ(Quillmend("inspect " + test::Media("recorder.m4a")), 0);
  ExpectOutput("ftyp: major brand \"M4A \" (an M4A file)");
  ExpectOutput("sample tables: stco present");
  ExpectOutput("  0x210C  ");
  EXPECT_TRUE(std::regex_search(out_, std::regex("region 1: 44\\.\\.\\d+, profile mode: \\d+ ")));
  ASSERT_EQ(Quillmend("inspect " + test::Media("recorder-cut.m4a")), 0);
  ExpectOutput("stco missing");
  ExpectOutput("none (not usable as a sample)");
  EXPECT_EQ(Quillmend(""), 2);
  EXPECT_EQ(Quillmend("repair a b -o c"), 2);
  EXPECT_EQ(Quillmend("repair --bogus a"), 2);
  EXPECT_EQ(Quillmend("--version"), 0);
  EXPECT_EQ(out_, "quillmend 1, 0, 0, 25-d-4f7fc416\n");
  const std::string input = Copy("recorder-cut.m4a", "cut.m4a");
  ASSERT_EQ(Quillmend("repair " + input, WithStateDirectory(work_.File("state"))), 0);
  EXPECT_TRUE(fs::exists(work_.File("state/quillmend/quillmend_sdk.log")));
}

}  // namespace
}  // namespace quillmend
