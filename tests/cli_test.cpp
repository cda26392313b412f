// The quillmend tool end to end, as a user runs it, on recordings made by the ffmpeg tool.
#include "cli_test.h"

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

namespace quillmend {
namespace {

namespace fs = std::filesystem;

using test::kCli;
using test::List;

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(test::Media("recorder-cut.m4a"), work_.path() / "cut.m4a");
    fs::copy_file(test::Media("recorder.m4a"), work_.path() / "plays.m4a");
    fs::copy_file(test::Media("recorder-cut.m4a"), work_.path() / "-dash.m4a");
    test::WriteFile(work_.path() / "junk.m4a", test::Bytes{}.Text("not a recording").Fill(999, 7));
    fs::current_path(work_.path());  // names as a user types them
  }
  void TearDown() override { fs::current_path(previous_); }
  // Runs `quillmend COMMAND ARGUMENTS`: its exit status; stdout in out_.
  int Quillmend(const std::string& command, const std::string& arguments) {
    out_.clear();
    const std::string line = test::Quote(kCli) + " " + command + " --log-dir " +
                             test::Quote(test::U8(logs_.path())) + " " + arguments;
    const int status = test::Run(line + " 2>" QUILLMEND_NULL_DEVICE, &out_);
    std::erase(out_, '\r');  // Windows' text-mode line ends
    return status;
  }
  void ExpectOutput(const std::string& text) {
    EXPECT_NE(out_.find(text), std::string::npos) << out_;
  }
  const fs::path previous_ = fs::current_path();
  test::TempDir work_, logs_;
  const fs::path outDir_ = work_.path() / "out";
  std::string out_;
};

TEST_F(CliTest, ExitStatusWordsAndWhatIsLeftInTheOutputFolder) {
  const struct {
    std::string arguments;
    int status;
    std::vector<std::string> said;
    std::set<std::string> written;  // in --out-dir out
  } cases[] = {
      {"--method=general cut.m4a",
       0,
       {"cut.m4a: repaired -> out", "cut-repaired.m4a (0:08, ", "[general]"},
       {"cut-repaired.m4a"}},
      {"--method general -- -dash.m4a", 0, {"-dash.m4a: repaired -> "}, {"-dash-repaired.m4a"}},
      {"plays.m4a", 0, {"plays.m4a: not damaged: plays already (8."}, {}},
      {"junk.m4a", 1, {"junk.m4a: not repaired: ", "\n  try: "}, {}},
      {"missing.m4a", 1, {"missing.m4a: not repaired: cannot read missing.m4a: "}, {}},
      {"--method general cut.m4a junk.m4a plays.m4a",
       1,
       {"3 files: 1 repaired, 1 not damaged, 1 not repaired\n  not repaired: junk.m4a"},
       {"cut-repaired.m4a"}},
      {"--method bogus cut.m4a", 2, {}, {}},
      {"--rate 12345 cut.m4a", 2, {}, {}},
      {"--rate fast cut.m4a", 2, {}, {}},
      {"--method advanced cut.m4a", 2, {}, {}},  // needs --sample
      {"--bogus cut.m4a", 2, {}, {}},
      {"", 2, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    fs::remove_all(outDir_);
    EXPECT_EQ(Quillmend("repair --out-dir out", c.arguments), c.status);
    for (const std::string& text : c.said) ExpectOutput(text);
    EXPECT_EQ(List(outDir_), c.written);  // a folder it made and left empty is gone too
  }
  EXPECT_EQ(Quillmend("repair -o one.m4a", "cut.m4a plays.m4a"), 2);
  EXPECT_EQ(List(work_.path()).size(), 4u);
}

TEST_F(CliTest, JsonIsOneObjectPerFileAndNothingElse) {
  EXPECT_EQ(Quillmend("repair --json --method general", "cut.m4a junk.m4a plays.m4a"), 1);
  std::istringstream lines(out_);
  std::vector<std::string> said;
  for (std::string line; std::getline(lines, line);) {
    const auto object = nlohmann::json::parse(line);
    EXPECT_EQ(object.at("method"), "general");
    said.push_back(object.at("input").get<std::string>() + " " +
                   (object.at("repaired") ? "repaired" : object.at("code").get<std::string>()));
  }
  ASSERT_EQ(said.size(), 3u) << out_;
  EXPECT_EQ(said[0], "cut.m4a repaired");
  EXPECT_NE(said[1], "junk.m4a repaired");
  EXPECT_EQ(said[2], "plays.m4a not-damaged");
}

TEST_F(CliTest, AnExistingOutputIsReplacedOnlyWhenAskedTo) {
  const fs::path output = work_.path() / "cut-repaired.m4a";
  test::WriteFile(output, test::Bytes{}.Text("precious"));
  EXPECT_EQ(Quillmend("repair --method general", "cut.m4a"), 1);
  ExpectOutput("cut-repaired.m4a exists already\n  try: ");
  EXPECT_EQ(test::ReadFile(output).size(), 8u);
  EXPECT_EQ(List(work_.path()).size(), 5u);  // no work folder left behind
  EXPECT_EQ(Quillmend("repair --method general -y", "cut.m4a"), 0);
  EXPECT_GT(test::ReadMedia(test::U8(output)).packets.size(), 300u);
  // Never over an input, not even with --force.
  EXPECT_EQ(Quillmend("repair --method general -y -o cut.m4a", "cut.m4a"), 2);
  EXPECT_EQ(Quillmend("repair --method general -y -o plays.m4a --sample plays.m4a", "cut.m4a"), 2);
  EXPECT_EQ(test::ReadFile("cut.m4a"), test::ReadFile(test::Media("recorder-cut.m4a")));
  EXPECT_EQ(test::ReadFile("plays.m4a"), test::ReadFile(test::Media("recorder.m4a")));
}

TEST_F(CliTest, HelpVersionAndALogThatCannotBeHad) {
  EXPECT_EQ(Quillmend("repair --help", ""), 0);
  for (const char* option : {"--sample HEALTHY", "--rate HZ", "--method", "-y,--force", "--json",
                             "--keep-timing", "--out-dir DIR"}) {
    ExpectOutput(option);
  }
  EXPECT_EQ(Quillmend("inspect --help", ""), 0);
  out_.clear();
  EXPECT_EQ(
      test::Run(test::Quote(kCli) + " repair --method general --log-dir junk.m4a/logs cut.m4a 2>&1",
                &out_),
      0);
  ExpectOutput("warning: cannot make the log folder junk.m4a/logs");
  out_.clear();
  EXPECT_EQ(test::Run(test::Quote(kCli) + " --version", &out_), 0);
  EXPECT_TRUE(std::regex_match(out_, std::regex(R"(\d+\.\d+\.\d+\.\d+ \([0-9a-f]+\)\r?\n)")))
      << out_;
}

}  // namespace
}  // namespace quillmend
