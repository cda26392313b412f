#include "convert/transcoder.h"

#include "convert/process.h"
#include "io/utf8.h"
#include "support/support.h"

namespace quillmend {
namespace {

using Arguments = std::vector<std::u16string>;

TEST(BuildTranscoderParametersTest, ElevenPiecesWithNothingBetween) {
  EXPECT_EQ(BuildTranscoderParameters(44100, 2, "C:\\out\\tmp.pcm", "C:\\out\\fixed.m4a"),
            "-f s16le -ar 44100 -ac 2 -y -i \"C:\\out\\tmp.pcm\" -c:a aac -b:a 128k "
            "\"C:\\out\\fixed.m4a\"");
  // A mono sample still declares two channels: the decoding wrote stereo.
  EXPECT_EQ(BuildTranscoderParameters(4294967295u, 1, "", "a b.m4a"),
            "-f s16le -ar 4294967295 -ac 2 -y -i \"\" -c:a aac -b:a 128k \"a b.m4a\"");
}

TEST(SplitCommandLineTest, FollowsTheWindowsRuntimeRules) {
  const std::pair<const char16_t*, Arguments> cases[] = {
      {u"", {}},
      {u"  a \t\t b  ", {u"a", u"b"}},
      {u"a\"b c\"d e", {u"ab cd", u"e"}},
      {u"a \"\" b", {u"a", u"", u"b"}},  // empty quoted arguments are arguments
      // Backslashes are literal unless a quote follows them.
      {u"a\\b c\\\\d e\\", {u"a\\b", u"c\\\\d", u"e\\"}},
      {u"\"C:\\out dir\\x\"", {u"C:\\out dir\\x"}},
      // 2n + 1 backslashes and a quote: n backslashes and a literal quote.
      {u"a\\\"b", {u"a\"b"}},
      {u"a\\\\\\\"b", {u"a\\\"b"}},
      {u"\"a\\\" b\"", {u"a\" b"}},
      // 2n backslashes and a quote: n backslashes, and the quote opens or closes.
      {u"a\\\\\"b c\"", {u"a\\b c"}},
      {u"\"a\\\\\\\\\" b", {u"a\\\\", u"b"}},
      // Two quotes inside quoting give one literal quote, and the quoting goes on.
      {u"\"a\"\"b c\"", {u"a\"b c"}},
      {u"\"\"\"\"", {u"\""}},
      {u"\"a b", {u"a b"}},  // an unclosed quote runs to the end
  };
  for (const auto& [text, arguments] : cases) {
    EXPECT_EQ(SplitCommandLine(text), arguments) << WideToUtf8(text);
  }
}

// What the tool receives is what was meant, for every path that the check lets through; the
// paths it refuses are exactly those that would not survive.
TEST(SplitCommandLineTest, TheToolGetsTheQuotedPathsWhole) {
  for (const std::string path :
       {"C:\\out\\fixed.m4a", "D:/x\\y/  two  spaces.m4a", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x8E\xB5.m4a",
        "a\\\\b\\c.m4a", "-dash.m4a", "", "'single'", "say \"hi\".m4a", "a\"b", "C:\\out\\",
        "/tmp/x\\\\"}) {
    const Arguments arguments =
        SplitCommandLine(Utf8ToWide(BuildTranscoderParameters(48000, 2, "/o/tmp.pcm", path)));
    const Arguments expected = {u"-f",  u"s16le", u"-ar",  u"48000",        u"-ac",
                                u"2",   u"-y",    u"-i",   u"/o/tmp.pcm",   u"-c:a",
                                u"aac", u"-b:a",  u"128k", Utf8ToWide(path)};
    EXPECT_EQ(CanQuoteForTranscoder(path), arguments == expected) << path;
  }
}

class CheckTranscoderArgumentsTest : public test::LogTest {};

TEST_F(CheckTranscoderArgumentsTest, RefusesWhatCannotBeCarriedWhole) {
  // 55 units besides the paths at a five-digit rate; with a 10-unit PCM path, a 446-unit output
  // path fills the 511 units exactly.
  const std::string pcm = "/p/tmp.pcm", fits = "/" + std::string(445, 'o');
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, pcm, fits), kOk);
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, pcm, fits + "o"), kTranscoderArguments);
  // Units, not bytes: 2 bytes for one unit, 4 bytes for two.
  const std::string wide = "/" + std::string(440, 'o') + "\xC3\xA9\xF0\x9F\x8E\xB5";
  ASSERT_EQ(Utf8ToWide(wide).size(), 444u);
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, pcm, wide + "oo"), kOk);
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, "/d\"q/tmp.pcm", "/d\"q/out.m4a"),
            kTranscoderArguments);
  EXPECT_EQ(CheckTranscoderArguments(44100, 2, pcm, "C:\\out\\"), kTranscoderArguments);
  // The tool's own entry refuses a text too long for its buffer before anything is started.
  EXPECT_EQ(RunFfmpegTool(std::string(600, 'x')), kTranscoderArguments);
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            ">>[!] The ffmpeg parameters are too long: 512 UTF-16 units",
                            ">>[!] The path cannot be passed to ffmpeg: /d\"q/tmp.pcm",
                            ">>[!] The path cannot be passed to ffmpeg: C:\\out\\",
                            ">>[!] The ffmpeg parameters are too long: 600 UTF-16 units"}));
}

}  // namespace
}  // namespace quillmend
