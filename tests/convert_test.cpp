// The ADTS remux, and the real Env's files and processes.
extern "C" {
#include <libavutil/error.h>
}
#include "convert/process.h"
#include "convert/remux.h"
#include "io/cancel.h"
#include "io/env.h"
#include "io/native_path.h"
#include "io/utf8.h"
#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;

class RemuxTest : public test::LogTest {};

TEST_F(RemuxTest, KeepsEveryFrameOfTheAudioOrLogsItsFailure) {
  test::TempDir out;
  const std::string adts = test::Media("recorder.adts");
  ASSERT_EQ(ffmpeg_remux(adts.c_str(), out.File("out.m4a").c_str()), 0);
  const auto in = test::ReadMedia(adts), remuxed = test::ReadMedia(out.File("out.m4a"));
  EXPECT_EQ(remuxed.streams, test::Lines{"audio:aac"});
  ASSERT_EQ(remuxed.packets.size(), in.packets.size());
  for (std::size_t i = 0; i < in.packets.size(); ++i) {  // the ADTS header goes, the frame stays
    const auto& raw = in.packets[i].data;
    ASSERT_EQ(remuxed.packets[i].data, test::ByteVector(raw.begin() + 7, raw.end())) << i;
  }
  EXPECT_EQ(ffmpeg_remux(out.File("missing.adts").c_str(), out.File("m.m4a").c_str()),
            AVERROR(ENOENT));
  EXPECT_FALSE(fs::exists(out.File("m.m4a")));
  EXPECT_EQ(Messages(), test::Lines{"[ffmpeg_remux](104): ffmpeg err: No such file or directory"});
}

// The real Env's processes: whether a program started, how it ended, and a stop that ends it.
TEST(EnvTest, SpawnReportsTheStartTheEndAndAStop) {
  Env* env = Env::Default();
  const fs::path tool = NativePath(GetExecutableDirectory()) / NativePath(kTranscoderToolName);
  ASSERT_TRUE(fs::exists(tool));
  test::TempDir dir;
  EXPECT_FALSE(env->SpawnWithParameters(dir.path() / "missing", u"").started);
  const std::string in = dir.File("in put.pcm"), out = dir.File("\xC3\xA9 out.pcm");
  test::WriteFile(fs::u8path(in), test::Bytes{}.Fill(400, 0x11).Fill(400, 0x22));
  const ChildOutcome converted = env->SpawnWithParameters(
      tool, Utf8ToWide("-f s16le -ar 8000 -ac 1 -y -i \"" + in + "\" -f s16le \"" + out + "\""));
  EXPECT_TRUE(converted.started && !converted.stopped);
  EXPECT_EQ(converted.exitCode, 0);
  EXPECT_EQ(test::ReadFile(fs::u8path(out)), test::ReadFile(fs::u8path(in)));
  EXPECT_NE(env->Spawn(tool, {"ffmpeg", "-i", in + ".missing", out}).exitCode, 0);
  // Told to stop, the wait ends the tool, which would otherwise read its input for ever.
  ScopedStopQuestion stop([](void*) { return true; }, nullptr);
  const ChildOutcome stopped = env->Spawn(
      tool, {"ffmpeg", "-stream_loop", "-1", "-f", "s16le", "-i", in, "-f", "null", "-"});
  EXPECT_TRUE(stopped.started && stopped.stopped);
#ifndef _WIN32
  EXPECT_EQ(env->Spawn("/bin/sh", {"sh", "-c", "kill -KILL $$"}).exitCode, 128 + 9);
#endif
}

// Intermediate files are created only where nothing is, a link or a dangling link included.
TEST(EnvTest, CreateExclusiveNeverOpensWhatIsThere) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "file", test::Bytes{}.Text("keep"));
  std::vector<fs::path> taken = {dir.path() / "file"};
#ifndef _WIN32
  fs::create_symlink(dir.path() / "file", dir.path() / "link");
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling");
  taken.insert(taken.end(), {dir.path() / "link", dir.path() / "dangling"});
#endif
  std::unique_ptr<WritableFile> file;
  for (const fs::path& path : taken) {
    EXPECT_EQ(Env::Default()->CreateExclusive(path, &file), std::errc::file_exists) << path;
  }
  EXPECT_FALSE(fs::exists(dir.path() / "nowhere"));
  EXPECT_EQ(test::ReadFile(dir.path() / "file").size(), 4u);
  ASSERT_FALSE(Env::Default()->CreateExclusive(dir.path() / "new", &file));
  EXPECT_FALSE(file->Append("abc", 3) || file->Close());
  EXPECT_EQ(test::ReadFile(dir.path() / "new").size(), 3u);
}

}  // namespace
}  // namespace quillmend
