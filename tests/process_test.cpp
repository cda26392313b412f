#include "convert/process.h"

#include <csignal>

#include "io/utf8.h"
#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;

TEST(GetExecutableDirectoryTest, IsWhereTheBuildPutTheHostAndItsTool) {
  const fs::path directory = WideToUtf8(GetExecutableDirectory());
  EXPECT_TRUE(directory.is_absolute());
  EXPECT_TRUE(fs::exists(directory / "quillmend_unit_tests"));
  EXPECT_TRUE(fs::exists(directory / WideToUtf8(kTranscoderToolName)));
}

TEST(RunHiddenTest, ReportsWhetherTheProgramStartedAndHowItEnded) {
  test::TempDir dir;
  test::WriteFile(dir.File("not-executable"), test::Bytes{}.Text("#!/bin/sh\n"));
  for (const std::string& path :
       {dir.File("missing"), dir.path().string(), dir.File("not-executable")}) {
    EXPECT_FALSE(RunHidden(Utf8ToWide(path), u"").started) << path;
  }
  const ProcessOutcome exited = RunHidden(u"/bin/sh", u"-c \"exit 3\"");
  EXPECT_TRUE(exited.started);
  EXPECT_EQ(exited.exitCode, 3);
  EXPECT_EQ(RunHidden(u"/bin/sh", u"-c \"kill -TERM $$\"").exitCode, 128 + SIGTERM);
}

// The program gets the arguments split by the Windows rules, with no shell in between, and
// runs with no input: a program that reads its input ends at once instead of waiting.
TEST(RunHiddenTest, ArgumentsArriveAsSplitAndInputIsEmpty) {
  test::TempDir dir;
  const std::string out = dir.File("args.txt");
  const std::string script =
      "cat >\\\"$0\\\"; for a; do printf '[%s]' \\\"$a\\\" >>\\\"$0\\\"; done";
  ASSERT_TRUE(RunHidden(u"/bin/sh", Utf8ToWide("-c \"" + script + "\" \"" + out +
                                               "\" \"a b\" \"\" $HOME c\\\"d \\\\e"))
                  .started);
  const auto bytes = test::ReadFile(out);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "[a b][][$HOME][c\"d][\\\\e]");
}

}  // namespace
}  // namespace quillmend
