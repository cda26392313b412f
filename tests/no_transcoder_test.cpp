// A host program with no ffmpeg tool beside it: the build puts this one in a directory of its
// own, without the link that the other test programs get.
#include <gtest/gtest.h>

#include <filesystem>

#include "quillmend_sdk.h"
#include "support/audio.h"
#include "support/test_support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::TempDir;

int gOwner;

TEST(NoTranscoderTest, TheDecodedAudioStaysInTmpPcm) {
  TempDir logDir, work;
  ASSERT_EQ(OrvM4aInit(logDir.path().c_str(), &gOwner), ORVM4A_OK);
  const std::string sample = work.File("sample.m4a"), original = work.File("original.m4a"),
                    damaged = work.File("damaged.m4a"), output = work.File("fixed.m4a"),
                    pcm = work.File("tmp.pcm");
  test::MakeRecording(sample, 3.0);
  test::MakeRecording(original, 6.0);
  test::WriteFile(damaged, test::CutBeforeIndex(test::ReadFile(original)));
  const Bytes stale = Bytes{}.Text("stale").Fill(1000, 0x7F);
  test::WriteFile(pcm, stale);

  EXPECT_EQ(OrvM4aAdvanceRepair(damaged.c_str(), sample.c_str(), output.c_str()),
            ORVM4A_ERR_TRANSCODER);
  auto messages = test::LogMessages(logDir.File("quillmend_sdk.log"));
  EXPECT_EQ(messages, (std::vector<std::string>{"Quillmend Sdk: 1, 0, 0, 25-d-4f7fc416",
                                                "corrupt: " + damaged + ", sample: " + sample,
                                                "fix failed! -4048"}));
  EXPECT_FALSE(fs::exists(output));
  // The stale file was replaced, not appended to: what is there now is the recording's audio
  // as 16-bit stereo, about 6 s of it at 44100 Hz.
  const auto bytes = test::ReadFile(pcm);
  EXPECT_EQ(bytes.size() % 4, 0u);
  EXPECT_NEAR(static_cast<double>(bytes.size()) / (44100 * 4), 6.0, 0.2);
  EXPECT_NE(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 5),
            std::vector<std::uint8_t>(stale.data().begin(), stale.data().begin() + 5));
}

}  // namespace
}  // namespace quillmend
