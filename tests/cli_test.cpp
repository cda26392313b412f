// The quillmend tool end to end, as a user runs it, on recordings made by the ffmpeg tool.
#include "cli_test.h"

#include <regex>

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::kCli;

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"cut.m4a", "-dash.m4a"}) {
      fs::copy_file(test::Media("recorder-cut.m4a"), work_.path() / name);
    }
    fs::copy_file(test::Media("recorder.m4a"), work_.path() / "plays.m4a");
    test::WriteFile(work_.path() / "junk.m4a", test::Bytes{}.Text("not a recording").Fill(999, 7));
    fs::current_path(work_.path());  // names as a user types them
  }
  void TearDown() override { fs::current_path(previous_); }
  // Runs `quillmend COMMAND --log-dir LOGS ARGUMENTS`: its exit status; stdout in out_.
  int Quillmend(const std::string& command, const std::string& arguments) {
    out_.clear();
    const int status = test::Run(test::Quote(kCli) + " " + command + " --log-dir " +
                                     test::Quote(test::U8(logs_.path())) + " " + arguments +
                                     " 2>" QUILLMEND_NULL_DEVICE,
                                 &out_);
    std::erase(out_, '\r');  // Windows' text-mode line ends
    return status;
  }
  void ExpectOutput(const std::string& pattern) {
    EXPECT_TRUE(std::regex_search(out_, std::regex(pattern))) << pattern << "\n" << out_;
  }
  const fs::path previous_ = fs::current_path();
  test::TempDir work_, logs_;
  std::string out_;
};

TEST_F(CliTest, ExitStatusWordsAndWhatIsLeftInTheOutputFolder) {
  const struct {
    std::string arguments;
    int status;
    std::string said;               // a pattern
    std::set<std::string> written;  // in --out-dir out, which the tool makes
  } cases[] = {
      // clang-format off
      // A healthy recording of the same settings beside the damaged one tells its rate.
      {"cut.m4a", 0, R"(^cut.m4a: repaired -> out.cut-repaired.m4a \(0:0\d, .* \[exact\]\n)"
                     R"(  rate: 44.1 kHz, from plays.m4a beside it\n$)", {"cut-repaired.m4a"}},
      {"--no-siblings cut.m4a", 0, R"(\n  rate: .* \((likely|a guess): .*\)\n    if it plays too .*--rate \d+)",
       {"cut-repaired.m4a"}},
      {"--rate=44100 cut.m4a", 0, R"(\(0:08, 44.1 kHz stereo, 3\d\d frames; no damaged stretches\))",
       {"cut-repaired.m4a"}},
      {"--sample plays.m4a --method=general -- -dash.m4a", 0,
       R"(^-dash.m4a: repaired(, with \d+ short glitch(es)?)? -> .*-dash-repaired.m4a \(0:08, 44.1 kHz.*\[general\]\n$)",
       {"-dash-repaired.m4a"}},
      {"plays.m4a", 0, R"(^plays.m4a: not damaged: plays already \(8.0 s\); nothing was written)", {}},
      {"junk.m4a", 1, "^junk.m4a: not repaired: .*\n  try: ", {}},
      {"missing.m4a", 1, "^missing.m4a: not repaired: cannot read missing.m4a: ..", {}},
      {"cut.m4a junk.m4a plays.m4a", 1,
       "\n3 files: 1 repaired, 1 not damaged, 1 not repaired\n  not repaired: junk.m4a\n$",
       {"cut-repaired.m4a"}},
      {"--json --method general cut.m4a junk.m4a", 1,  // one object per file, nothing else
       R"(^\{"input":"cut.m4a","code":"repaired",.*"method":"general".*\}\n\{"input":"junk.m4a",.*\}\n$)",
       {"cut-repaired.m4a"}},
      {"--help", 0, R"(--sample HEALTHY[\s\S]*--rate HZ[\s\S]*--json[\s\S]*--keep-timing[\s\S]*-y,--force)", {}},
      {"--method bogus cut.m4a", 2, "^$", {}},
      {"--rate 12345 cut.m4a", 2, "^$", {}},
      {"--rate fast cut.m4a", 2, "^$", {}},
      {"--method advanced cut.m4a", 2, "^$", {}},  // needs --sample
      {"cut.m4a plays.m4a -o one.m4a", 2, "^$", {}},
      {"", 2, "^$", {}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    fs::remove_all("out");
    EXPECT_EQ(Quillmend("repair --out-dir out", c.arguments), c.status);
    ExpectOutput(c.said);
    EXPECT_EQ(test::List("out"), c.written);  // a folder it made and left empty is gone too
    EXPECT_EQ(test::List(".").size(), 4u + !c.written.empty());
  }
}

TEST_F(CliTest, AnExistingOutputIsReplacedOnlyWhenAskedToAndNeverAnInput) {
  test::WriteFile("cut-repaired.m4a", test::Bytes{}.Text("precious"));
  EXPECT_EQ(Quillmend("repair", "cut.m4a"), 1);
  ExpectOutput("cut-repaired.m4a exists already\n  try: ");
  EXPECT_EQ(test::ReadFile("cut-repaired.m4a").size(), 8u);
  EXPECT_EQ(test::List(".").size(), 5u);  // no work folder left behind
  EXPECT_EQ(Quillmend("repair -y", "cut.m4a"), 0);
  EXPECT_GT(test::ReadMedia("cut-repaired.m4a").packets.size(), 300u);
  EXPECT_EQ(Quillmend("repair --force -o cut.m4a", "cut.m4a"), 2);
  EXPECT_EQ(Quillmend("repair -y -o plays.m4a --sample plays.m4a", "cut.m4a"), 2);
  EXPECT_EQ(test::ReadFile("cut.m4a"), test::ReadFile(test::Media("recorder-cut.m4a")));
  EXPECT_EQ(test::ReadFile("plays.m4a"), test::ReadFile(test::Media("recorder.m4a")));
}

TEST_F(CliTest, VersionAndALogThatCannotBeHad) {
  EXPECT_EQ(test::Run(test::Quote(kCli) + " repair --log-dir junk.m4a/logs cut.m4a 2>&1", &out_),
            0);
  ExpectOutput("warning: cannot make the log folder junk.m4a/logs");
  out_.clear();
  EXPECT_EQ(test::Run(test::Quote(kCli) + " --version", &out_), 0);
  ExpectOutput(R"(^\d+\.\d+\.\d+\.\d+ \([0-9a-f]+\)\r?\n$)");
}

}  // namespace
}  // namespace quillmend
