// The exact repair through the public API, judged by FFmpeg's reading of the healthy original:
// every frame whose bytes survived the damage comes back byte for byte, and nothing else does.
#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "quillmend.h"
#include "support/support.h"

namespace quillmend {
namespace {

using test::ByteVector;
constexpr std::size_t kChainFrames = 4;
namespace fs = std::filesystem;

struct Profile {
  const char* name;
  int rate;
  int channels;
  const char* bitrate;
  const char* options;  // bandwidth, coder
  int seconds;
  bool recorder = false;  // rewritten with the other long-window shape, as recorders write
};

void PrintTo(const Profile& p, std::ostream* os) { *os << p.name; }

// Speech-like (a pitched buzz that starts and stops) and music-like content, the encoder's
// default bandwidth and full band, all the rates a recorder uses.
const Profile kProfiles[] = {
    {"16k-mono-speech", 16000, 1, "24k", "", 8},
    {"22k-stereo", 22050, 2, "64k", "", 8},
    {"32k-stereo-fullband", 32000, 2, "128k", "-cutoff 16000", 8},
    {"44k-mono-speech", 44100, 1, "64k", "", 8},
    {"44k-stereo-fullband", 44100, 2, "256k", "-cutoff 20000", 8},
    {"48k-stereo", 48000, 2, "128k", "", 8},
    {"48k-mono-fast", 48000, 1, "96k", "-aac_coder fast", 8},
    {"44k-stereo-recorder", 44100, 2, "128k", "", 8, true},
    // Long enough for the walk to split the media data between two threads.
    {"44k-stereo-long", 44100, 2, "160k", "", 75},
};

std::string Record(const Profile& p, const char* suffix = "", int seconds = 0) {
  const fs::path dir = test::MediaDirectory() / "exact";
  const fs::path path = dir / (std::string(p.name) + suffix + ".m4a");
  if (fs::exists(path)) return test::U8(path);
  fs::create_directories(dir);
  const std::string layout = p.channels == 2 ? "stereo" : "mono";
  const std::string speech =
      "if(lt(mod(t\\,1.7)\\,1.1)\\,0.4*sin(2*PI*(140+30*sin(2*PI*3*t))*t)*sin(2*PI*4*t)\\,0)+"
      "0.01*(2*random(0)-1)";
  const std::string music = "0.3*sin(2*PI*440*t)+0.15*sin(2*PI*2200*t)+0.05*(2*random(0)-1)";
  const std::string content =
      std::string(p.name).find("speech") != std::string::npos ? speech : music;
  const fs::path part = dir / ("part-" + std::to_string(std::random_device{}()) + ".m4a");
  // A recorder's recording is encoded beside its final name, then rewritten into it.
  const fs::path encoded = p.recorder ? fs::u8path(test::U8(part) + ".encoded.m4a") : part;
  const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=" + content +
                              ":s=" + std::to_string(p.rate) + ":c=" + layout +
                              ":d=" + std::to_string(seconds ? seconds : p.seconds) +
                              "\" -c:a aac -b:a " + p.bitrate + " " + p.options + " " +
                              test::Quote(test::U8(encoded));
  EXPECT_EQ(test::Run(command), 0) << command;
  if (p.recorder) {
    test::Recorderize(test::U8(encoded), test::U8(part));
    fs::remove(encoded);
  }
  fs::rename(part, path);
  return test::U8(path);
}

std::size_t Find(const ByteVector& file, const char* type) {
  const auto at = std::search(file.begin(), file.end(), type, type + 4);
  return at == file.end() ? file.size() : std::size_t(at - file.begin());
}

// Damage as recorders and disks do it. The file starts as FFmpeg wrote it: ftyp, free, mdat,
// then moov.
struct Damage {
  const char* name;
  void (*apply)(ByteVector& file, std::mt19937& random);
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

void CutMoov(ByteVector& f, std::mt19937&) { f.resize(Find(f, "moov") - 4); }
void Fill(ByteVector& f, std::mt19937& random, bool zeros) {
  CutMoov(f, random);
  const std::size_t media = Find(f, "mdat") + 4;
  for (int i = 0; i < 4; ++i) {
    const std::size_t length = 16 + random() % 3000;
    const std::size_t at = media + random() % (f.size() - media - length);
    for (std::size_t k = at; k < at + length; ++k) f[k] = zeros ? 0 : std::uint8_t(random());
  }
}

const Damage kDamages[] = {
    {"moov-cut", CutMoov},
    {"mdat-cut",
     [](ByteVector& f, std::mt19937& r) { CutMoov(f, r), f.resize(f.size() * 2 / 3 + 17); }},
    {"ftyp-wiped",
     [](ByteVector& f, std::mt19937& r) { CutMoov(f, r), std::fill_n(f.begin(), 24, 0); }},
    {"header-wiped",
     [](ByteVector& f, std::mt19937& r) {
       CutMoov(f, r), std::fill_n(f.begin(), Find(f, "mdat") + 4, 0);
     }},
    {"random-bursts", [](ByteVector& f, std::mt19937& r) { Fill(f, r, false); }},
    {"zero-runs", [](ByteVector& f, std::mt19937& r) { Fill(f, r, true); }},
    // The moov moved to the front (as "faststart" writes it), its media cut short.
    {"front-moov-media-cut",
     [](ByteVector& f, std::mt19937&) {
       const std::size_t moov = Find(f, "moov") - 4, mdat = Find(f, "mdat") - 4;
       ByteVector front(f.begin(), f.begin() + mdat);
       front.insert(front.end(), f.begin() + moov, f.end());
       front.insert(front.end(), f.begin() + mdat, f.begin() + moov);
       f = std::move(front);
       f.resize(f.size() * 3 / 4);
     }},
    // The media data in two mdat boxes, as a recorder that appends in sessions writes it.
    {"two-mdats",
     [](ByteVector& f, std::mt19937& r) {
       CutMoov(f, r);
       const std::size_t header = Find(f, "mdat") - 4;
       const std::size_t split = header + 8 + (f.size() - header - 8) / 2;
       ByteVector second = test::Bytes{}.U32(0).Text("mdat").data;
       ByteVector out(f.begin(), f.begin() + split);
       out.insert(out.end(), second.begin(), second.end());
       out.insert(out.end(), f.begin() + split, f.end());
       const auto size = std::uint32_t(split - header);
       for (int i = 0; i < 4; ++i) out[header + i] = std::uint8_t(size >> (24 - 8 * i));
       f = std::move(out);
     }},
};

struct Repaired {
  qm_code code;
  std::string json;
  std::uint32_t rate, channels;
  bool assumed;
  std::size_t stretches;
};

Repaired RepairFile(const std::string& in, const std::string& out, const qm_options* options) {
  qm_result* r = nullptr;
  const qm_code code = qm_repair(in.c_str(), out.c_str(), options, &r);
  Repaired result{code,
                  qm_result_json(r),
                  qm_result_rate(r),
                  qm_result_channels(r),
                  qm_result_rate_assumed(r) != 0,
                  qm_result_damage_count(r)};
  qm_result_free(r);
  return result;
}

// With the header gone the frames tell the rate's group, and the rate is chosen among it or
// offered as an alternative: which one is the rate evidence's affair, tested on its own.
bool RateOffered(const std::string& json, int rate) {
  const std::string alternatives = json.substr(json.find("\"rate_alternatives\""));
  return json.find("\"rate\":" + std::to_string(rate) + ",") != std::string::npos ||
         alternatives.substr(0, alternatives.find(']')).find(std::to_string(rate)) !=
             std::string::npos;
}

class ExactRepair : public testing::TestWithParam<std::tuple<Profile, Damage>> {};

TEST_P(ExactRepair, EverySurvivingFrameComesBackByteForByteAndNothingElse) {
  const auto& [profile, damage] = GetParam();
  const std::string original = Record(profile);
  ByteVector file = test::ReadFile(fs::u8path(original));
  std::mt19937 random(std::hash<std::string>{}(std::string(profile.name) + damage.name));
  damage.apply(file, random);

  const test::MediaInfo truth = test::ReadMedia(original);
  std::set<ByteVector> frames;
  std::vector<ByteVector> survivors;
  // Damage keeps the frames in their order, so each survivor is searched for after the last.
  // A frame is owed back when it survived inside a run of intact frames: the one right before a
  // damaged stretch and the one right after it may be what the damage started or ended in, and
  // the walk cannot tell a run shorter than its chain from bad bytes.
  std::vector<bool> survived;
  auto from = file.begin();
  for (const auto& p : truth.packets) {
    frames.insert(p.data);
    const auto where = std::search(
        from, file.end(), std::boyer_moore_horspool_searcher(p.data.begin(), p.data.end()));
    survived.push_back(where != file.end());
    if (where != file.end()) from = where + std::ptrdiff_t(p.data.size());
  }
  for (std::size_t i = 0, run = 0; i <= survived.size(); ++i) {
    if (i < survived.size() && survived[i]) {
      ++run;
      continue;
    }
    for (std::size_t k = i - run + 1; run >= kChainFrames && k + 1 < i; ++k) {
      survivors.push_back(truth.packets[k].data);
    }
    run = 0;
  }

  test::TempDir dir;
  test::WriteFile(dir.path() / "damaged.m4a", file);
  const std::string out = dir.File("repaired.m4a");
  const Repaired r = RepairFile(dir.File("damaged.m4a"), out, nullptr);
  ASSERT_EQ(r.code, QM_REPAIRED) << r.json;
  EXPECT_EQ(r.channels, std::uint32_t(profile.channels));
  // A moov that survived at the front still says the rate.
  const bool headerKept = std::string(damage.name) == "front-moov-media-cut";
  if (headerKept) {
    EXPECT_EQ(int(r.rate), profile.rate) << r.json;
  } else {
    EXPECT_TRUE(RateOffered(r.json, profile.rate)) << r.json;
  }

  const test::MediaInfo back = test::ReadMedia(out);
  std::set<ByteVector> returned;
  std::size_t strangers = 0;
  // Bad bytes that fall inside a frame's spectral data can leave its syntax and length as they
  // were: that frame stays where it was, damaged, and no reading of the syntax can tell. Any
  // other frame that was never in the recording is bad bytes taken for audio.
  const auto damagedInPlace = [&](const ByteVector& frame) {
    return std::any_of(truth.packets.begin(), truth.packets.end(), [&](const auto& p) {
      if (p.data.size() != frame.size()) return false;
      std::size_t same = 0;
      for (std::size_t i = 0; i < frame.size(); ++i) same += p.data[i] == frame[i];
      return same * 2 > frame.size();
    });
  };
  for (const auto& p : back.packets) {
    strangers += frames.count(p.data) == 0 && !damagedInPlace(p.data);
    returned.insert(p.data);
  }
  EXPECT_EQ(strangers, 0u) << "frames that were never in the recording";
  std::size_t lost = 0;
  for (const ByteVector& s : survivors) lost += returned.count(s) == 0;
  EXPECT_EQ(lost, 0u) << "of " << survivors.size() << " surviving frames; " << r.json;
  EXPECT_EQ(test::CountDecodeErrors(out), 0);
  // The work directory went with the repair: only the two files are there.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

INSTANTIATE_TEST_SUITE_P(Recordings, ExactRepair,
                         testing::Combine(testing::ValuesIn(kProfiles),
                                          testing::ValuesIn(kDamages)),
                         [](const auto& info) {
                           std::string name = std::string(std::get<0>(info.param).name) + "_" +
                                              std::get<1>(info.param).name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// A healthy recording from the same recorder, or the caller, settles what the frames cannot.
TEST(ExactRepairParameters, TheRateComesFromASampleOrTheCallerAndAContradictionIsRefused) {
  const Profile& p44 = kProfiles[4];
  const std::string original = Record(p44);
  test::TempDir dir;
  ByteVector file = test::ReadFile(fs::u8path(original));
  std::mt19937 random(1);
  CutMoov(file, random);
  test::WriteFile(dir.path() / "damaged.m4a", file);
  const std::string in = dir.File("damaged.m4a");

  qm_options options;
  qm_options_init(&options);
  const std::string sample = Record(p44, "-sample", 3);
  options.sample_path = sample.c_str();
  Repaired r = RepairFile(in, dir.File("with-sample.m4a"), &options);
  EXPECT_EQ(r.code, QM_REPAIRED);
  EXPECT_EQ(r.rate, 44100u);
  EXPECT_FALSE(r.assumed);

  qm_options_init(&options);
  options.rate_hz = 44100;
  r = RepairFile(in, dir.File("with-rate.m4a"), &options);
  EXPECT_EQ(r.rate, 44100u);
  EXPECT_FALSE(r.assumed);
  EXPECT_EQ(test::ReadMedia(dir.File("with-rate.m4a")).packets.size(),
            test::ReadMedia(dir.File("with-sample.m4a")).packets.size());

  const std::string mono = Record(kProfiles[0]);
  options.rate_hz = 0;
  options.sample_path = mono.c_str();
  r = RepairFile(in, dir.File("mismatch.m4a"), &options);
  EXPECT_EQ(r.code, QM_ERR_MISMATCH) << r.json;
  EXPECT_FALSE(fs::exists(dir.path() / "mismatch.m4a"));
}

TEST(ExactRepairOutcomes, UndamagedNoAudioAndKeptTiming) {
  const std::string original = Record(kProfiles[5]);
  test::TempDir dir;
  Repaired r = RepairFile(original, dir.File("out.m4a"), nullptr);
  EXPECT_EQ(r.code, QM_NOT_DAMAGED) << r.json;

  ByteVector noise(200000);
  std::mt19937 random(3);
  for (auto& b : noise) b = std::uint8_t(random());
  test::WriteFile(dir.path() / "noise.m4a", noise);
  r = RepairFile(dir.File("noise.m4a"), dir.File("out.m4a"), nullptr);
  EXPECT_EQ(r.code, QM_ERR_NO_AUDIO);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  // With the lost stretches filled, the repaired recording has as many frames as the original.
  ByteVector file = test::ReadFile(fs::u8path(original));
  Fill(file, random, false);
  test::WriteFile(dir.path() / "damaged.m4a", file);
  qm_options options;
  qm_options_init(&options);
  options.keep_timing = 1;
  r = RepairFile(dir.File("damaged.m4a"), dir.File("timed.m4a"), &options);
  ASSERT_EQ(r.code, QM_REPAIRED) << r.json;
  EXPECT_GT(r.stretches, 0u);
  const double frames = double(test::ReadMedia(original).packets.size());
  EXPECT_NEAR(double(test::ReadMedia(dir.File("timed.m4a")).packets.size()), frames, 0.03 * frames);
}

}  // namespace
}  // namespace quillmend

namespace quillmend {
namespace {

// The SDK's repairs show how far they got as they go, stage by stage and while the ffmpeg tool
// encodes, not one step at the start and one at the end.
TEST(SdkMethods, ProgressMovesThroughTheStages) {
  for (const qm_method method : {QM_METHOD_GENERAL, QM_METHOD_ADVANCED}) {
    SCOPED_TRACE(qm_method_name(method));
    test::TempDir dir;
    std::vector<double> seen;
    qm_options options;
    qm_options_init(&options);
    options.method = method;
    const std::string sample = test::Media("recorder-sample.m4a");
    if (method == QM_METHOD_ADVANCED) options.sample_path = sample.c_str();
    options.progress = [](void* user, double f) {
      static_cast<std::vector<double>*>(user)->push_back(f);
      return 0;
    };
    options.progress_user = &seen;
    const Repaired r = RepairFile(test::Media("recorder-cut.m4a"), dir.File("out.m4a"), &options);
    ASSERT_EQ(r.code, QM_REPAIRED) << r.json;
    std::set<double> between;
    for (const double f : seen) {
      if (f > 0.1 && f < 0.9) between.insert(f);
    }
    EXPECT_GE(between.size(), 3u) << "distinct steps between the walk and the read-back";
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 1.0);
  }
}

}  // namespace
}  // namespace quillmend
