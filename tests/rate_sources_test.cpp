// The sampling rate of a damaged recording, from every clue it and its folder hold: what is left
// of its own index, a healthy recording beside it, the frames. Recordings at every rate a
// recorder uses, mono and stereo, from two encoders, each in three settings.
#include <algorithm>
#include <cstdio>
#include <set>

#include "quillmend.h"
#include "support/recordings.h"
#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::ByteVector;

constexpr int kRates[] = {48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

// What recorders are set to at each rate: speech-sized at the low rates, music-sized above.
int KbpsFor(int rate, int channels) {
  const int perChannel = rate >= 32000 ? 64 : rate >= 16000 ? 32 : 16;
  return perChannel * channels;
}

test::Recording At(test::Encoder encoder, int rate, int channels, test::Content content,
                   int seconds = 3) {
  return {encoder, rate, channels, KbpsFor(rate, channels), content, seconds};
}

std::vector<test::Recording> Matrix() {
  std::vector<test::Recording> all;
  for (const test::Encoder e : {test::Encoder::kFfmpeg, test::Encoder::kVisualOn}) {
    for (const int rate : kRates) {
      for (const int channels : {1, 2}) all.push_back(At(e, rate, channels, test::Content::kMusic));
    }
  }
  return all;
}

// An earlier take on the same recorder: the same settings, other sound.
test::Recording Earlier(const test::Recording& r) {
  return At(r.encoder, r.rate, r.channels, test::Content::kSpeech, 2);
}

struct Top {
  std::string type;
  std::size_t at, size;
};
std::vector<Top> Boxes(const ByteVector& f) {
  std::vector<Top> boxes;
  for (std::size_t at = 0; at + 8 <= f.size();) {
    const std::size_t size =
        std::size_t(f[at]) << 24 | f[at + 1] << 16 | f[at + 2] << 8 | f[at + 3];
    if (size < 8) break;
    boxes.push_back({std::string(f.begin() + long(at) + 4, f.begin() + long(at) + 8), at, size});
    at += size;
  }
  return boxes;
}
const Top* Find(const std::vector<Top>& boxes, const char* type) {
  for (const Top& b : boxes) {
    if (b.type == type) return &b;
  }
  return nullptr;
}

// Power lost before the index was written: everything from the moov on is gone.
ByteVector NoIndex(ByteVector f) {
  const std::vector<Top> boxes = Boxes(f);
  if (const Top* moov = Find(boxes, "moov")) f.resize(moov->at);
  return f;
}

// What is left of an index: a moov cut short at the file's end (inside the sample tables that
// follow the sample description), or an index written at the front (as recorders that reserve
// room for it do) with the media behind it cut short.
ByteVector IndexRemains(const ByteVector& healthy, bool front) {
  const std::vector<Top> boxes = Boxes(healthy);
  const Top* moov = Find(boxes, "moov");
  const Top* mdat = Find(boxes, "mdat");
  if (moov == nullptr || mdat == nullptr) return healthy;
  if (!front) {
    const char stts[] = "stts";
    const auto at = std::search(healthy.begin() + long(moov->at), healthy.end(), stts, stts + 4);
    return ByteVector(healthy.begin(), at + 12);
  }
  ByteVector f(healthy.begin(), healthy.begin() + long(mdat->at));
  f.insert(f.end(), healthy.begin() + long(moov->at),
           healthy.begin() + long(moov->at + moov->size));
  f.insert(f.end(), healthy.begin() + long(mdat->at),
           healthy.begin() + long(mdat->at + mdat->size * 2 / 3));
  return f;
}

struct Said {
  qm_code code;
  std::uint32_t rate;
  std::string source, file, json;
  std::uint32_t looked;
};

Said Inspect(const std::string& path, const qm_options* options = nullptr) {
  qm_result* r = nullptr;
  Said said;
  said.code = qm_inspect(path.c_str(), options, &r);
  said.rate = qm_result_rate(r);
  said.source = qm_result_rate_source(r);
  said.file = qm_result_rate_file(r);
  said.json = qm_result_json(r);
  const std::size_t at = said.json.find("\"looked_at\":");
  said.looked = at == std::string::npos ? 0 : std::uint32_t(std::stoul(said.json.substr(at + 12)));
  qm_result_free(r);
  return said;
}

class RateSources : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::vector<test::Recording> all = Matrix();
    for (const test::Recording& r : Matrix()) all.push_back(Earlier(r));
    test::MakeAll(all);
  }
};

// With what is left of the file's own index, or a healthy recording of the same settings beside
// it, the rate is always right and says where it came from; alone, the frames get it right in
// at least nine of ten of the recordings, and say how sure they are.
TEST_F(RateSources, EachSettingGivesTheRateAndSaysWhence) {
  int right = 0, total = 0;
  std::string wrong;
  bool front = false;
  for (const test::Recording& r : Matrix()) {
    SCOPED_TRACE(r.Describe());
    const ByteVector healthy = test::ReadFile(fs::u8path(test::Make(r)));

    test::TempDir alone;
    test::WriteFile(alone.path() / "memo.m4a", NoIndex(healthy));
    const Said frames = Inspect(alone.File("memo.m4a"));
    ASSERT_EQ(frames.code, QM_REPAIRED) << frames.json;
    EXPECT_TRUE(frames.source == "frames" || frames.source == "assumed") << frames.json;
    ++total;
    if (int(frames.rate) == r.rate) {
      ++right;
    } else {
      wrong += "\n  " + r.Describe() + ": " + std::to_string(frames.rate);
    }

    test::TempDir remains;
    test::WriteFile(remains.path() / "memo.m4a", IndexRemains(healthy, front = !front));
    const Said header = Inspect(remains.File("memo.m4a"));
    EXPECT_EQ(int(header.rate), r.rate) << header.json;
    EXPECT_EQ(header.source, "header") << header.json;

    test::TempDir beside;
    test::WriteFile(beside.path() / "memo.m4a", NoIndex(healthy));
    fs::copy_file(fs::u8path(test::Make(Earlier(r))), beside.path() / "Voice 012.m4a");
    const Said sibling = Inspect(beside.File("memo.m4a"));
    EXPECT_EQ(int(sibling.rate), r.rate) << sibling.json;
    EXPECT_EQ(sibling.source, "sibling") << sibling.json;
    EXPECT_EQ(sibling.file, "Voice 012.m4a");
  }
  std::printf("rate from the frames alone: %d of %d right%s\n", right, total, wrong.c_str());
  EXPECT_GE(right * 10, total * 9);
}

// A healthy recording of other settings beside the file says nothing of its rate: another rate
// group, the other channel count, another codec.
TEST_F(RateSources, SiblingsOfOtherSettingsAreNeverUsed) {
  const test::Recording r = At(test::Encoder::kFfmpeg, 44100, 2, test::Content::kMusic);
  test::TempDir dir;
  test::WriteFile(dir.path() / "take.m4a", NoIndex(test::ReadFile(fs::u8path(test::Make(r)))));
  fs::copy_file(
      fs::u8path(test::Make(At(test::Encoder::kFfmpeg, 16000, 2, test::Content::kSpeech, 2))),
      dir.path() / "low.m4a");
  fs::copy_file(
      fs::u8path(test::Make(At(test::Encoder::kFfmpeg, 44100, 1, test::Content::kSpeech, 2))),
      dir.path() / "mono.m4a");
  fs::copy_file(fs::u8path(test::MadeWith(
                    "lossless-44k-stereo.m4a",
                    test::FfmpegCommand() + "-f lavfi -i sine=r=44100:d=1 -ac 2 -c:a alac OUT")),
                dir.path() / "lossless.m4a");
  const Said said = Inspect(dir.File("take.m4a"));
  EXPECT_EQ(said.looked, 3u) << said.json;
  EXPECT_NE(said.source, "sibling") << said.json;

  // ... and they are not looked at when asked not to, while a folder given is.
  qm_options options;
  qm_options_init(&options);
  options.no_siblings = 1;
  test::TempDir other;
  fs::copy_file(fs::u8path(test::Make(Earlier(r))), other.path() / "earlier.m4a");
  const std::string otherDir = test::U8(other.path());
  options.sample_dir = otherDir.c_str();
  const Said given = Inspect(dir.File("take.m4a"), &options);
  EXPECT_EQ(given.source, "sibling") << given.json;
  EXPECT_EQ(given.file, "earlier.m4a");
  EXPECT_EQ(given.looked, 1u);
}

// A folder of hundreds of recordings is looked at only as far as the bound; the nearest in time
// are looked at first.
TEST_F(RateSources, AFullFolderIsLookedAtOnlySoFar) {
  const test::Recording r = At(test::Encoder::kVisualOn, 48000, 1, test::Content::kMusic);
  test::TempDir dir;
  const std::string earlier = test::Make(Earlier(r));
  for (int i = 0; i < 300; ++i) {
    fs::copy_file(fs::u8path(earlier), dir.path() / ("take " + std::to_string(i) + ".m4a"));
  }
  test::WriteFile(dir.path() / "damaged.m4a", NoIndex(test::ReadFile(fs::u8path(test::Make(r)))));
  const Said said = Inspect(dir.File("damaged.m4a"));
  EXPECT_EQ(said.source, "sibling") << said.json;
  EXPECT_LE(said.looked, 48u) << said.json;
  EXPECT_GT(said.looked, 0u);
}

// A rate the frames contradict is refused, naming the rates that fit.
TEST_F(RateSources, ARateTheFramesContradictIsRefusedWithTheRatesThatFit) {
  const test::Recording r = At(test::Encoder::kFfmpeg, 44100, 2, test::Content::kMusic);
  test::TempDir dir;
  test::WriteFile(dir.path() / "take.m4a", NoIndex(test::ReadFile(fs::u8path(test::Make(r)))));
  qm_options options;
  qm_options_init(&options);
  options.rate_hz = 8000;
  qm_result* result = nullptr;
  EXPECT_EQ(qm_repair(dir.File("take.m4a").c_str(), dir.File("out.m4a").c_str(), &options, &result),
            QM_ERR_MISMATCH);
  const std::string message = qm_result_message(result);
  EXPECT_NE(message.find("do not fit 8 kHz: they fit 48, 44.1"), std::string::npos) << message;
  std::vector<qm_suggestion> offered(qm_result_suggestions(result, nullptr, 0));
  qm_result_suggestions(result, offered.data(), offered.size());
  EXPECT_TRUE(std::any_of(offered.begin(), offered.end(), [](const qm_suggestion& s) {
    return s.action == QM_TRY_RATE && s.value == 44100;
  }));
  qm_result_free(result);
  EXPECT_FALSE(fs::exists(dir.path() / "out.m4a"));
}

// Another rate, later: the same frames under another header, read back at that rate; a rate
// whose band tables the frames do not fit is refused.
TEST_F(RateSources, AnotherRateRewritesOnlyTheHeader) {
  const test::Recording r = At(test::Encoder::kFfmpeg, 44100, 2, test::Content::kMusic);
  test::TempDir dir;
  test::WriteFile(dir.path() / "take.m4a", NoIndex(test::ReadFile(fs::u8path(test::Make(r)))));
  qm_options options;
  qm_options_init(&options);
  options.rate_hz = 44100;
  qm_result* result = nullptr;
  ASSERT_EQ(qm_repair(dir.File("take.m4a").c_str(), dir.File("a.m4a").c_str(), &options, &result),
            QM_REPAIRED);
  qm_result_free(result);
  ASSERT_EQ(
      qm_change_rate(dir.File("a.m4a").c_str(), 48000, dir.File("b.m4a").c_str(), nullptr, &result),
      QM_REPAIRED)
      << qm_result_json(result);
  qm_result_free(result);
  const test::MediaInfo a = test::ReadMedia(dir.File("a.m4a")),
                        b = test::ReadMedia(dir.File("b.m4a"));
  EXPECT_EQ(b.rate, 48000);
  ASSERT_EQ(a.packets.size(), b.packets.size());
  for (std::size_t i = 0; i < a.packets.size(); ++i)
    ASSERT_EQ(a.packets[i].data, b.packets[i].data);
  EXPECT_EQ(
      qm_change_rate(dir.File("a.m4a").c_str(), 16000, dir.File("c.m4a").c_str(), nullptr, nullptr),
      QM_ERR_ARGUMENT);
  EXPECT_FALSE(fs::exists(dir.path() / "c.m4a"));
}

}  // namespace
}  // namespace quillmend
