// The ADTS remux, the transcoder's command line and the process that runs it.
extern "C" {
#include <libavutil/error.h>
}
#include <csignal>

#include "convert/process.h"
#include "convert/remux.h"
#include "convert/transcoder.h"
#include "io/native_path.h"
#include "io/utf8.h"
#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::Media;
using Arguments = std::vector<std::u16string>;

class ConvertTest : public test::LogTest {
 protected:
  std::string Out(const char* name) const { return out_.File(name); }
  test::TempDir out_;
};

TEST_F(ConvertTest, RemuxKeepsEveryFrameOfTheAudioOrLogsItsFailure) {
  ASSERT_EQ(ffmpeg_remux(Media("recorder.adts").c_str(), Out("out.m4a").c_str()), 0);
  const auto in = test::ReadMedia(Media("recorder.adts")), out = test::ReadMedia(Out("out.m4a"));
  EXPECT_EQ(out.streams, test::Lines{"audio:aac"});
  ASSERT_EQ(out.packets.size(), in.packets.size());
  for (std::size_t i = 0; i < in.packets.size(); ++i) {  // the ADTS header goes, the frame stays
    const auto& raw = in.packets[i].data;
    ASSERT_EQ(out.packets[i].data, test::ByteVector(raw.begin() + 7, raw.end())) << i;
  }
  // Failures log their line and return their code; nothing is created.
  EXPECT_EQ(ffmpeg_remux(Out("missing.adts").c_str(), Out("m.m4a").c_str()), AVERROR(ENOENT));
  EXPECT_FALSE(fs::exists(Out("m.m4a")));
  EXPECT_EQ(ffmpeg_remux(Media("recorder.adts").c_str(), Out("out.unknownext").c_str()),
            AVERROR(EINVAL));
  EXPECT_EQ(Messages(), (test::Lines{"[ffmpeg_remux](104): ffmpeg err: No such file or directory",
                                     "[ffmpeg_remux](114): ffmpeg err: Invalid argument"}));
}

TEST(SplitCommandLineTest, FollowsTheWindowsRuntimeRules) {
  const std::pair<const char16_t*, Arguments> cases[] = {
      {u"", {}},
      {u"  a \t\t b  ", {u"a", u"b"}},
      {u"a\"b c\"d e", {u"ab cd", u"e"}},
      {u"\"\" \"\"", {u"", u""}},  // empty quoted arguments are arguments
      // Backslashes are literal unless a quote follows them.
      {u"a\\b c\\\\d e\\", {u"a\\b", u"c\\\\d", u"e\\"}},
      // 2n + 1 backslashes and a quote: n backslashes and a literal quote.
      {u"a\\\\\\\"b", {u"a\\\"b"}},
      {u"\"a\\\" b\"", {u"a\" b"}},
      // 2n backslashes and a quote: n backslashes, and the quote opens or closes.
      {u"a\\\\\"b c\"", {u"a\\b c"}},
      {u"\"a\\\\\\\\\" b", {u"a\\\\", u"b"}},
      // Two quotes inside quoting give one literal quote, and the quoting goes on.
      {u"\"a\"\"b c\"", {u"a\"b c"}},
      {u"\"a b", {u"a b"}},  // an unclosed quote runs to the end
  };
  for (const auto& [text, arguments] : cases) {
    EXPECT_EQ(SplitCommandLine(text), arguments) << WideToUtf8(text);
  }
  // The tool gets every path that the check lets through whole; the paths it refuses are
  // exactly those that would not survive.
  for (const std::string path :
       {"C:\\out\\fixed.m4a", "D:/x\\y/  two  spaces.m4a", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x8E\xB5.m4a",
        "a\\\\b\\c.m4a", "-dash.m4a", "", "'single'", "say \"hi\".m4a", "a\"b", "C:\\out\\",
        "/tmp/x\\\\"}) {
    const Arguments expected = {u"-f",  u"s16le", u"-ar",  u"48000",        u"-ac",
                                u"2",   u"-y",    u"-i",   u"/o/tmp.pcm",   u"-c:a",
                                u"aac", u"-b:a",  u"128k", Utf8ToWide(path)};
    const std::string text = BuildTranscoderParameters(48000, 2, "/o/tmp.pcm", path);
    EXPECT_EQ(CanQuoteForTranscoder(path), SplitCommandLine(Utf8ToWide(text)) == expected) << path;
  }
}

TEST_F(ConvertTest, TranscoderArgumentsThatCannotBeCarriedWholeAreRefused) {
  // 55 units besides the paths at a five-digit rate; with a 10-unit PCM path, a 446-unit output
  // path fills the 511 units exactly. Units, not bytes: 2 bytes for one unit, 4 for two.
  const std::string pcm = "/p/tmp.pcm", fits = "/" + std::string(445, 'o');
  const std::string wide = "/" + std::string(440, 'o') + "\xC3\xA9\xF0\x9F\x8E\xB5oo";
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, pcm, fits), kOk);
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, pcm, wide), kOk);
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, pcm, fits + "o"), kTranscoderArguments);
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, "/d\"q/tmp.pcm", "/d\"q/out.m4a"),
            kTranscoderArguments);
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, pcm, "C:\\out\\"), kTranscoderArguments);
  // The tool's own entry refuses a text too long for its buffer before anything is started.
  EXPECT_EQ(RunFfmpegTool(std::string(600, 'x')), kTranscoderArguments);
  EXPECT_EQ(Messages(),
            (test::Lines{">>[!] The ffmpeg parameters are too long: 512 UTF-16 units",
                         ">>[!] The path cannot be passed to ffmpeg: /d\"q/tmp.pcm",
                         ">>[!] The path cannot be passed to ffmpeg: C:\\out\\",
                         ">>[!] The ffmpeg parameters are too long: 600 UTF-16 units"}));
}

#ifdef _WIN32
// The shell starts the tool by its quoted path and hands it the parameter text whole: ffmpeg.exe
// in a directory whose name has blanks and characters outside every code page converts a file
// named like that, and the call returns once it has ended.
TEST(RunHiddenTest, StartsTheQuotedToolWithWideParametersAndWaitsForIt) {
  const fs::path directory = NativePath(GetExecutableDirectory());
  EXPECT_TRUE(directory.is_absolute());
  EXPECT_TRUE(fs::exists(directory / "quillmend_unit_tests.exe"));
  EXPECT_TRUE(fs::exists(directory / NativePath(kTranscoderToolName)));
  test::TempDir dir;
  const fs::path host = dir.path() / fs::u8path("h\xC3\xB4st d\xC3\xAFr \xF0\x9F\x8E\xB5");
  fs::create_directories(host);
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".dll" || entry.path().filename() == "ffmpeg.exe") {
      fs::copy_file(entry.path(), host / entry.path().filename());
    }
  }
  const std::u16string tool = Utf8ToWide(test::U8(host / "ffmpeg.exe"));
  EXPECT_FALSE(RunHidden(Utf8ToWide(test::U8(host / "missing.exe")), u"").started);

  const std::string in = test::U8(host / "in put.pcm"), out = test::U8(host / "\xC3\xA9 out.pcm");
  test::WriteFile(fs::u8path(in), test::Bytes{}.Fill(400, 0x11).Fill(400, 0x22));
  const ProcessOutcome converted = RunHidden(
      tool, Utf8ToWide("-f s16le -ar 8000 -ac 1 -y -i \"" + in + "\" -f s16le \"" + out + "\""));
  EXPECT_TRUE(converted.started);
  EXPECT_EQ(converted.exitCode, 0);
  EXPECT_EQ(test::ReadFile(fs::u8path(out)), test::ReadFile(fs::u8path(in)));
  const ProcessOutcome failed = RunHidden(tool, Utf8ToWide("-i \"" + in + ".missing\" x.pcm"));
  EXPECT_TRUE(failed.started);
  EXPECT_NE(failed.exitCode, 0);
}
#else
TEST(RunHiddenTest, ReportsWhetherTheProgramStartedAndHowItEnded) {
  const fs::path directory = WideToUtf8(GetExecutableDirectory());  // the host's, with its tool
  EXPECT_TRUE(directory.is_absolute());
  EXPECT_TRUE(fs::exists(directory / "quillmend_unit_tests"));
  EXPECT_TRUE(fs::exists(directory / WideToUtf8(kTranscoderToolName)));
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
  // The arguments arrive split by the Windows rules with no shell in between, and there is no
  // input: a program that reads its input ends at once instead of waiting.
  const std::string out = dir.File("args.txt");
  const std::string script =
      "cat >\\\"$0\\\"; for a; do printf '[%s]' \\\"$a\\\" >>\\\"$0\\\"; done";
  ASSERT_TRUE(RunHidden(u"/bin/sh", Utf8ToWide("-c \"" + script + "\" \"" + out +
                                               "\" \"a b\" \"\" $HOME c\\\"d \\\\e"))
                  .started);
  const auto bytes = test::ReadFile(out);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "[a b][][$HOME][c\"d][\\\\e]");
}
#endif

}  // namespace
}  // namespace quillmend
