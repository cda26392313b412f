#include "convert/remux.h"

extern "C" {
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/media_probe.h"

namespace quillmend {
namespace {

using test::TempDir;

// Inputs made once with the ffmpeg tool.
class RemuxTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::string d = dir_->path().string() + "/";
    const std::string ffmpeg = "timeout 120 ffmpeg -nostdin -v error -y ";
    ASSERT_EQ(test::Run(ffmpeg + "-f lavfi -i sine=d=1 -c:a aac " + d + "audio.adts"), 0);
    ASSERT_EQ(test::Run(ffmpeg + "-f lavfi -i color=red:size=32x32 -frames:v 1 " + d + "c.png"), 0);
    ASSERT_EQ(test::Run(ffmpeg + "-f lavfi -i sine=d=1 -i " + d + "c.png -map 0 -map 1 -c:a aac " +
                        "-c:v png -disposition:v attached_pic " + d + "cover.m4a"),
              0);
    ASSERT_EQ(test::Run(ffmpeg + "-f lavfi -i testsrc=size=64x64:rate=5 -f lavfi -i sine -t 1 " +
                        "-c:v mpeg4 -c:a aac " + d + "video.mkv"),
              0);
    test::WriteFile(d + "s.srt", test::Bytes{}.Text("1\n00:00:00,000 --> 00:00:01,000\nhi\n"));
    ASSERT_EQ(test::Run(ffmpeg + "-i " + d + "s.srt " + d + "subtitles.mkv"), 0);
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string In(const char* name) { return dir_->File(name); }
  std::string Out(const char* name) const { return out_.File(name); }

  static TempDir* dir_;
  TempDir out_;
  test::LogCapture log_;
};
TempDir* RemuxTest::dir_ = nullptr;

TEST_F(RemuxTest, AdtsBecomesOneAudioStreamWithEveryPacket) {
  ASSERT_EQ(ffmpeg_remux(In("audio.adts").c_str(), Out("out.m4a").c_str()), 0);
  const auto in = test::ReadMedia(In("audio.adts"));
  const auto out = test::ReadMedia(Out("out.m4a"));
  EXPECT_EQ(out.streams, std::vector<std::string>{"audio:aac"});
  ASSERT_EQ(out.packets.size(), in.packets.size());
  for (std::size_t i = 0; i < in.packets.size(); ++i) {
    // The ADTS header goes; the raw frame stays byte for byte.
    const auto& raw = in.packets[i].data;
    ASSERT_EQ(out.packets[i].data, std::vector<std::uint8_t>(raw.begin() + 7, raw.end())) << i;
  }
  EXPECT_TRUE(log_.Messages().empty());
}

TEST_F(RemuxTest, KeepsAudioAndCoverImagesButNoOtherStreams) {
  // The ipod container has no tag for PNG; mp4 carries the cover.
  ASSERT_EQ(ffmpeg_remux(In("cover.m4a").c_str(), Out("cover.mp4").c_str()), 0);
  EXPECT_EQ(test::ReadMedia(Out("cover.mp4")).streams,
            (std::vector<std::string>{"audio:aac", "video:png"}));
  ASSERT_EQ(ffmpeg_remux(In("video.mkv").c_str(), Out("video.m4a").c_str()), 0);
  const auto audioOnly = test::ReadMedia(Out("video.m4a"));
  EXPECT_EQ(audioOnly.streams, std::vector<std::string>{"audio:aac"});
  EXPECT_FALSE(audioOnly.packets.empty());
}

TEST_F(RemuxTest, FailuresLogTheirLineAndReturnTheirCode) {
  EXPECT_EQ(ffmpeg_remux(In("subtitles.mkv").c_str(), Out("s.m4a").c_str()), -1);
  EXPECT_EQ(ffmpeg_remux(In("missing.adts").c_str(), Out("m.m4a").c_str()), AVERROR(ENOENT));
  EXPECT_FALSE(std::filesystem::exists(Out("m.m4a")));
  EXPECT_LT(ffmpeg_remux(In("audio.adts").c_str(), Out("out.unknownext").c_str()), 0);
  EXPECT_EQ(log_.Messages(),
            (std::vector<std::string>{"[ffmpeg_remux](170): nb_streams is 0",
                                      "[ffmpeg_remux](104): ffmpeg err: No such file or directory",
                                      "[ffmpeg_remux](114): ffmpeg err: Invalid argument"}));
}

}  // namespace
}  // namespace quillmend
