#include "io/output_file.h"

#include <stdexcept>

#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;

// The parent by the platform's path grammar; the POSIX forms (the Windows ones run on Windows).
TEST(OutputDirectoryTest, FollowsThePathGrammarAndJoinsWithOneSeparator) {
  EXPECT_EQ(OutputDirectory("/music/fixed.m4a"), "/music");
  EXPECT_EQ(OutputDirectory("/music//fixed.m4a"), "/music");  // the run of separators goes
  EXPECT_EQ(OutputDirectory("/fixed.m4a"), "/");              // a root never does
  EXPECT_EQ(OutputDirectory("fixed.m4a"), "");
  EXPECT_EQ(OutputDirectory("rel/dir/fixed.m4a"), "rel/dir");
  EXPECT_EQ(OutputDirectory("/m\xC3\xBAsica/f.m4a"), "/m\xC3\xBAsica");
  EXPECT_THROW(OutputDirectory("/bad\xC3/f.m4a"), std::range_error);
  EXPECT_EQ(JoinPath("/music", "tmp.adts"), "/music/tmp.adts");
  EXPECT_EQ(JoinPath("/", "tmp.adts"), "//tmp.adts");
  EXPECT_EQ(JoinPath("", "tmp.pcm"), "/tmp.pcm");
}

TEST(RemoveIfExistsTest, RemovesWhateverIsThereAndToleratesNothing) {
  test::TempDir dir;
  test::WriteFile(dir.File("tmp.adts"), test::Bytes{1, 2, 3});
  RemoveIfExists(dir.File("tmp.adts"));
  EXPECT_FALSE(fs::exists(dir.File("tmp.adts")));
  RemoveIfExists(dir.File("tmp.adts"));
  RemoveIfExists(dir.File("no-dir/tmp.adts"));
  test::WriteFile(dir.File("file"), test::Bytes{1});
  RemoveIfExists(dir.File("file") + "/tmp.adts");             // a file where a directory should be
  fs::create_symlink(dir.File("nowhere"), dir.File("link"));  // a dangling link is something
  RemoveIfExists(dir.File("link"));
  EXPECT_FALSE(fs::is_symlink(dir.File("link")));
  fs::create_directories(dir.path() / "full" / "x");
  EXPECT_THROW(RemoveIfExists(dir.File("full")), fs::filesystem_error);
}

}  // namespace
}  // namespace quillmend
