#include "convert/remux.h"

extern "C" {
#include <libavutil/error.h>
}

#include "support/support.h"

namespace quillmend {
namespace {

using test::Media;

class RemuxTest : public test::LogTest {
 protected:
  std::string Out(const char* name) const { return out_.File(name); }
  test::TempDir out_;
};

TEST_F(RemuxTest, AdtsBecomesOneAudioStreamWithEveryPacket) {
  ASSERT_EQ(ffmpeg_remux(Media("recorder.adts").c_str(), Out("out.m4a").c_str()), 0);
  const auto in = test::ReadMedia(Media("recorder.adts"));
  const auto out = test::ReadMedia(Out("out.m4a"));
  EXPECT_EQ(out.streams, std::vector<std::string>{"audio:aac"});
  ASSERT_EQ(out.packets.size(), in.packets.size());
  for (std::size_t i = 0; i < in.packets.size(); ++i) {
    // The ADTS header goes; the raw frame stays byte for byte.
    const auto& raw = in.packets[i].data;
    ASSERT_EQ(out.packets[i].data, test::ByteVector(raw.begin() + 7, raw.end())) << i;
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(RemuxTest, KeepsAudioAndCoverImagesButNoOtherStreams) {
  // The ipod container has no tag for PNG; mp4 carries the cover.
  ASSERT_EQ(ffmpeg_remux(Media("cover.m4a").c_str(), Out("cover.mp4").c_str()), 0);
  EXPECT_EQ(test::ReadMedia(Out("cover.mp4")).streams,
            (std::vector<std::string>{"audio:aac", "video:png"}));
  ASSERT_EQ(ffmpeg_remux(Media("video.mkv").c_str(), Out("video.m4a").c_str()), 0);
  const auto audioOnly = test::ReadMedia(Out("video.m4a"));
  EXPECT_EQ(audioOnly.streams, std::vector<std::string>{"audio:aac"});
  EXPECT_EQ(audioOnly.packets.size(), test::ReadMedia(Media("recorder-sample.m4a")).packets.size());
}

TEST_F(RemuxTest, FailuresLogTheirLineAndReturnTheirCode) {
  EXPECT_EQ(ffmpeg_remux(Media("subtitles.mkv").c_str(), Out("s.m4a").c_str()), -1);
  EXPECT_EQ(ffmpeg_remux(Out("missing.adts").c_str(), Out("m.m4a").c_str()), AVERROR(ENOENT));
  EXPECT_FALSE(std::filesystem::exists(Out("m.m4a")));
  EXPECT_EQ(ffmpeg_remux(Media("recorder.adts").c_str(), Out("out.unknownext").c_str()),
            AVERROR(EINVAL));
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"[ffmpeg_remux](170): nb_streams is 0",
                                      "[ffmpeg_remux](104): ffmpeg err: No such file or directory",
                                      "[ffmpeg_remux](114): ffmpeg err: Invalid argument"}));
}

}  // namespace
}  // namespace quillmend
