// The quillmend tool end to end, as a user runs it.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "support/media_probe.h"
#include "support/recordings.h"
#include "support/test_support.h"

namespace quillmend {
namespace {

using test::TempDir;

struct Outcome {
  int status;
  std::string out, err;
};

// A flat JSON object of one result line: its keys and raw values (strings unquoted).
std::map<std::string, std::string> ParseFlatJson(const std::string& line) {
  std::map<std::string, std::string> fields;
  static const std::regex field(R"re("([a-z_]+)":("((?:[^"\\]|\\.)*)"|[^,}]*))re");
  for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it) {
    fields[(*it)[1]] = (*it)[3].matched ? (*it)[3].str() : (*it)[2].str();
  }
  return fields;
}

class CliTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = new TempDir;
    test::MakeRecorderLikeRecording(source_->File("memo.m4a"), 5.0);
    const auto bytes = test::ReadFile(source_->File("memo.m4a"));
    const auto moov = test::FindTopLevelBox(bytes, "moov");
    test::WriteFile(source_->File("cut.m4a"),
                    std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + moov));
    test::WriteFile(source_->File("isom.mp4"),
                    test::Bytes{}.U32(0x20).Text("ftypisom").Fill(20, 0).U32(8).Text("mdat"));
  }
  static void TearDownTestSuite() { delete source_; }

  // Copies a prepared file into this test's directory.
  std::string Copy(const char* name, const char* as = nullptr) {
    const std::string target = work_.File(as != nullptr ? as : name);
    std::filesystem::copy_file(source_->File(name), target);
    return target;
  }
  Outcome Quillmend(const std::string& arguments) {
    const std::string err = work_.File("stderr.txt");
    Outcome outcome;
    outcome.status = test::Run(std::string("timeout 300 ") + QUILLMEND_CLI + " repair " +
                                   arguments + " --log-dir " + logs_.path().string() + " 2>" + err,
                               &outcome.out);
    const auto errBytes = test::ReadFile(err);
    outcome.err.assign(errBytes.begin(), errBytes.end());
    return outcome;
  }

  static TempDir* source_;
  TempDir work_, logs_;
};
TempDir* CliTest::source_ = nullptr;

TEST_F(CliTest, RepairsOneFileBesideTheOriginal) {
  const std::string input = Copy("cut.m4a");
  const Outcome run = Quillmend(test::Quote(input));
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const std::string output = work_.File("cut-repaired.m4a");
  const auto media = test::ReadMedia(output);
  char expected[512];
  std::snprintf(expected, sizeof expected, "repaired  %s -> %s (%.1f s, %zu AAC frames)\n",
                input.c_str(), output.c_str(), media.durationSeconds, media.packets.size());
  EXPECT_EQ(run.out, expected);
  EXPECT_GT(media.packets.size(), 200u);
  EXPECT_TRUE(std::filesystem::exists(logs_.File("quillmend_sdk.log")));
}

TEST_F(CliTest, ABatchGoesOnPastABadFileAndSaysSo) {
  const std::string a = Copy("cut.m4a", "a.m4a"), bad = Copy("isom.mp4"), b = Copy("memo.m4a");
  const std::string outDir = work_.File("fixed");
  const Outcome run = Quillmend(a + " " + bad + " " + b + " --out-dir " + outDir);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(std::filesystem::exists(outDir + "/a-repaired.m4a"));
  EXPECT_TRUE(std::filesystem::exists(outDir + "/memo-repaired.m4a"));
  EXPECT_NE(run.out.find("FAILED    " + bad +
                         ": not an M4A file: its ftyp box names another brand [code -4043; log: " +
                         logs_.File("quillmend_sdk.log") + "]"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("2 of 3 files repaired"), std::string::npos) << run.out;
}

TEST_F(CliTest, JsonLinesReadBack) {
  const std::string input = Copy("cut.m4a"), missing = work_.File("missing.m4a");
  const Outcome run = Quillmend("--json " + input + " " + missing);
  EXPECT_EQ(run.status, 1);
  std::istringstream lines(run.out);
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  const auto ok = ParseFlatJson(first), failed = ParseFlatJson(second);
  EXPECT_EQ(ok.at("input"), input);
  EXPECT_EQ(ok.at("output"), work_.File("cut-repaired.m4a"));
  EXPECT_EQ(ok.at("mode"), "general");
  EXPECT_EQ(ok.at("code"), "0");
  EXPECT_EQ(ok.at("repaired"), "true");
  EXPECT_EQ(std::stoul(ok.at("aac_frames")), test::ReadMedia(ok.at("output")).packets.size());
  EXPECT_EQ(failed.at("code"), "-4042");
  EXPECT_EQ(failed.at("repaired"), "false");
  EXPECT_EQ(failed.at("aac_frames"), "null");
  EXPECT_EQ(failed.at("log"), logs_.File("quillmend_sdk.log"));
}

TEST_F(CliTest, NeverOverwritesWithoutForce) {
  const std::string input = Copy("cut.m4a"), output = work_.File("mine.m4a");
  test::WriteFile(output, test::Bytes{}.Text("precious"));
  const Outcome refused = Quillmend(input + " -o " + output);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("the output exists: use --force to replace it"), std::string::npos);
  EXPECT_EQ(test::ReadFile(output).size(), 8u);
  EXPECT_EQ(Quillmend(input + " -o " + output + " --force").status, 0);
  EXPECT_FALSE(test::ReadMedia(output).packets.empty());
  // The damaged file itself is never the output.
  EXPECT_EQ(Quillmend(input + " -o " + input + " --force").status, 1);
}

TEST_F(CliTest, AdvancedRepairWithASample) {
  const std::string input = Copy("cut.m4a"), sample = Copy("memo.m4a", "healthy.m4a");
  const Outcome run = Quillmend("--json " + input + " --sample " + sample);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto result = ParseFlatJson(run.out);
  EXPECT_EQ(result.at("mode"), "advanced");
  EXPECT_EQ(result.at("repaired"), "true");
  EXPECT_NEAR(std::stod(result.at("duration_seconds")), 5.0, 0.3);
  EXPECT_EQ(test::CountDecodeErrors(result.at("output")), 0);
  EXPECT_FALSE(std::filesystem::exists(work_.File("tmp.pcm")));
}

// The library reports 0 once the transcoder has run, whatever it did; the tool looks at the
// output itself.
TEST_F(CliTest, ATranscoderThatFailsIsCaughtByTheTool) {
  const std::string bin = work_.File("bin");
  std::filesystem::create_directory(bin);
  std::filesystem::copy_file(QUILLMEND_CLI, bin + "/quillmend");
  test::WriteFile(bin + "/ffmpeg", test::Bytes{}.Text("#!/bin/sh\nexit 1\n"));
  std::filesystem::permissions(bin + "/ffmpeg", std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  const std::string input = Copy("cut.m4a"), sample = Copy("memo.m4a", "healthy.m4a");
  std::string out;
  EXPECT_EQ(test::Run(bin + "/quillmend repair " + input + " --sample " + sample + " --log-dir " +
                          logs_.path().string() + " 2>/dev/null",
                      &out),
            1);
  EXPECT_NE(
      out.find("FAILED    " + input + ": the ffmpeg tool ran but wrote no output file [code 0"),
      std::string::npos)
      << out;
}

TEST_F(CliTest, InspectTellsWhatTheRepairsSee) {
  std::string out;
  ASSERT_EQ(test::Run(std::string(QUILLMEND_CLI) + " inspect " + source_->File("memo.m4a"), &out),
            0);
  EXPECT_NE(out.find("ftyp: major brand \"M4A \" (an M4A file)"), std::string::npos) << out;
  EXPECT_NE(out.find("sample tables: stco present"), std::string::npos) << out;
  EXPECT_NE(out.find("  0x210C  "), std::string::npos) << out;
  EXPECT_TRUE(
      std::regex_search(out, std::regex("region 1: 44\\.\\.[0-9]+, profile mode: [0-9]+ frames")))
      << out;
  ASSERT_EQ(test::Run(std::string(QUILLMEND_CLI) + " inspect " + source_->File("cut.m4a"), &out),
            0);
  EXPECT_NE(out.find("stco missing"), std::string::npos) << out;
  EXPECT_NE(out.find("none (not usable as a sample)"), std::string::npos) << out;
}

TEST_F(CliTest, UsageErrorsAndVersion) {
  std::string out;
  EXPECT_EQ(test::Run(std::string(QUILLMEND_CLI) + " 2>/dev/null", &out), 2);
  EXPECT_EQ(test::Run(std::string(QUILLMEND_CLI) + " repair a b -o c 2>/dev/null", &out), 2);
  EXPECT_EQ(test::Run(std::string(QUILLMEND_CLI) + " repair --bogus a 2>/dev/null", &out), 2);
  EXPECT_EQ(test::Run(std::string(QUILLMEND_CLI) + " --version", &out), 0);
  EXPECT_EQ(out, "quillmend 1, 0, 0, 25-d-4f7fc416\n");
}

TEST_F(CliTest, TheLogGoesToTheUserStateDirectoryByDefault) {
  const std::string input = Copy("cut.m4a");
  std::string out;
  ASSERT_EQ(test::Run("XDG_STATE_HOME=" + work_.File("state") + " " + QUILLMEND_CLI + " repair " +
                          input + " 2>/dev/null",
                      &out),
            0);
  EXPECT_TRUE(std::filesystem::exists(work_.File("state") + "/quillmend/quillmend_sdk.log"));
}

}  // namespace
}  // namespace quillmend
