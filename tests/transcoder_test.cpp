#include "convert/transcoder.h"

#include <gtest/gtest.h>

#include "convert/process.h"
#include "io/utf8.h"
#include "support/log_capture.h"

namespace quillmend {
namespace {

using Arguments = std::vector<std::u16string>;

struct ParameterCase {
  std::uint32_t rate;
  int channels;
  const char* pcm;
  const char* output;
  const char* text;
};

TEST(BuildTranscoderParametersTest, ElevenPiecesWithNothingBetween) {
  const ParameterCase cases[] = {
      {44100, 2, "C:\\out\\tmp.pcm", "C:\\out\\fixed.m4a",
       "-f s16le -ar 44100 -ac 2 -y -i \"C:\\out\\tmp.pcm\" -c:a aac -b:a 128k "
       "\"C:\\out\\fixed.m4a\""},
      // A mono sample still declares two channels: the decoding wrote stereo.
      {22050, 1, "/rec/tmp.pcm", "/rec/fixed.m4a",
       "-f s16le -ar 22050 -ac 2 -y -i \"/rec/tmp.pcm\" -c:a aac -b:a 128k \"/rec/fixed.m4a\""},
      {8000, 6, "tmp.pcm", "a b.m4a",
       "-f s16le -ar 8000 -ac 2 -y -i \"tmp.pcm\" -c:a aac -b:a 128k \"a b.m4a\""},
      {0, 2, "", "", "-f s16le -ar 0 -ac 2 -y -i \"\" -c:a aac -b:a 128k \"\""},
      {4294967295u, 2, "p", "o",
       "-f s16le -ar 4294967295 -ac 2 -y -i \"p\" -c:a aac -b:a 128k \"o\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildTranscoderParameters(c.rate, c.channels, c.pcm, c.output), c.text);
  }
}

struct SplitCase {
  const char16_t* text;
  Arguments arguments;
};

TEST(SplitCommandLineTest, FollowsTheWindowsRuntimeRules) {
  const SplitCase cases[] = {
      {u"", {}},
      {u" \t ", {}},
      {u"a b", {u"a", u"b"}},
      {u"  a \t\t b  ", {u"a", u"b"}},
      {u"\"a b\" c", {u"a b", u"c"}},
      {u"a\"b c\"d e", {u"ab cd", u"e"}},
      // Empty quoted arguments are arguments.
      {u"\"\"", {u""}},
      {u"a \"\" b", {u"a", u"", u"b"}},
      // Backslashes are literal unless a quote follows them.
      {u"a\\b c\\\\d e\\", {u"a\\b", u"c\\\\d", u"e\\"}},
      {u"C:\\out dir\\x", {u"C:\\out", u"dir\\x"}},
      {u"\"C:\\out dir\\x\"", {u"C:\\out dir\\x"}},
      // 2n + 1 backslashes and a quote: n backslashes and a literal quote.
      {u"a\\\"b", {u"a\"b"}},
      {u"a\\\\\\\"b", {u"a\\\"b"}},
      {u"\"a\\\" b\"", {u"a\" b"}},
      // 2n backslashes and a quote: n backslashes, and the quote opens or closes.
      {u"a\\\\\"b c\"", {u"a\\b c"}},
      {u"\"a\\\\\" b", {u"a\\", u"b"}},
      {u"\"a\\\\\\\\\" b", {u"a\\\\", u"b"}},
      // Two quotes inside quoting give one literal quote, and the quoting goes on.
      {u"\"a\"\"b c\"", {u"a\"b c"}},
      {u"\"a\"\"\"", {u"a\""}},
      {u"\"\"\"\"", {u"\""}},
      // An unclosed quote runs to the end.
      {u"\"a b", {u"a b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.text), c.arguments) << WideToUtf8(c.text);
  }
}

// What the tool receives is what was meant, for every path that the check lets through; the
// paths it refuses are exactly those that would not survive.
TEST(SplitCommandLineTest, TheToolGetsTheQuotedPathsWhole) {
  const std::vector<std::string> paths = {"C:\\out\\fixed.m4a",
                                          "/home/me/My Music/fixed.m4a",
                                          "D:/x\\y/  two  spaces.m4a",
                                          "\xC3\xA9t\xC3\xA9 \xF0\x9F\x8E\xB5.m4a",
                                          "a\\\\b\\c.m4a",
                                          "-dash.m4a",
                                          "",
                                          "'single'"};
  for (const std::string& path : paths) {
    ASSERT_TRUE(CanQuoteForTranscoder(path)) << path;
    const Arguments expected = {u"-f",  u"s16le", u"-ar",  u"48000",        u"-ac",
                                u"2",   u"-y",    u"-i",   u"/o/tmp.pcm",   u"-c:a",
                                u"aac", u"-b:a",  u"128k", Utf8ToWide(path)};
    EXPECT_EQ(SplitCommandLine(Utf8ToWide(BuildTranscoderParameters(48000, 2, "/o/tmp.pcm", path))),
              expected)
        << path;
  }
  for (const std::string path : {"say \"hi\".m4a", "a\"b", "C:\\out\\", "/tmp/x\\\\"}) {
    EXPECT_FALSE(CanQuoteForTranscoder(path)) << path;
    EXPECT_NE(SplitCommandLine(Utf8ToWide(BuildTranscoderParameters(48000, 2, "/o/tmp.pcm", path)))
                  .back(),
              Utf8ToWide(path))
        << path;
  }
}

TEST(CheckTranscoderArgumentsTest, RefusesWhatCannotBeCarriedWhole) {
  test::LogCapture log;
  // 55 units besides the paths at a five-digit rate; with a 10-unit PCM path, a 446-unit output
  // path fills the 511 units exactly.
  const std::string pcm = "/p/tmp.pcm";
  const std::string fits = "/" + std::string(445, 'o');
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
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                ">>[!] The ffmpeg parameters are too long: 512 UTF-16 units",
                                ">>[!] The path cannot be passed to ffmpeg: /d\"q/tmp.pcm",
                                ">>[!] The path cannot be passed to ffmpeg: C:\\out\\",
                                ">>[!] The ffmpeg parameters are too long: 600 UTF-16 units"}));
}

}  // namespace
}  // namespace quillmend
