// The exact repair across the MP4 family and the codecs recorders use: QuickTime files, the sound
// of phone videos, several tracks, fragments, Apple Lossless and AAC Main. The oracle is FFmpeg's
// reading of the healthy original, stream by stream: every frame of each sound track that
// survived comes back, byte for byte, in that track's own file, and nothing else does.
#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "quillmend.h"
#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::ByteVector;

std::string Made(const std::string& name, const std::string& command) {
  return test::MadeWith("family/" + name, command);
}

// The tool's command, asked for when it is run: it is made when the support library starts.
std::string Ff() { return test::FfmpegCommand(); }
const std::string kVoice =
    "-f lavfi -i \"aevalsrc=0.4*sin(2*PI*(150+40*sin(2*PI*2*t))*t)*(0.6+0.4*sin(2*PI*3*t))+"
    "0.02*(2*random(0)-1):s=48000:d=12\" ";
const std::string kMusic = "-f lavfi -i \"sine=f=440:r=48000:d=12\" ";
const std::string kPicture = "-f lavfi -i testsrc2=s=320x240:r=30:d=12 ";

// What ReadContainer would call the top-level boxes, found by walking their sizes.
struct Box {
  std::string type;
  std::size_t at, size;
};
std::vector<Box> TopLevel(const ByteVector& f) {
  std::vector<Box> boxes;
  for (std::size_t at = 0; at + 8 <= f.size();) {
    std::uint64_t size = std::uint64_t(f[at]) << 24 | f[at + 1] << 16 | f[at + 2] << 8 | f[at + 3];
    if (size == 1 && at + 16 <= f.size()) {
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | f[at + i];
    }
    if (size == 0) size = f.size() - at;
    if (size < 8) break;
    boxes.push_back({std::string(f.begin() + long(at) + 4, f.begin() + long(at) + 8), at,
                     std::size_t(std::min<std::uint64_t>(size, f.size() - at))});
    at += size;
  }
  return boxes;
}

// Damage as recorders and disks do it, each after the index is lost.
enum class Harm { kIndexLost, kZeroPages, kBursts, kCutShort };
const char* Name(Harm h) {
  switch (h) {
    case Harm::kIndexLost:
      return "index-lost";
    case Harm::kZeroPages:
      return "zero-pages";
    case Harm::kBursts:
      return "bursts";
    case Harm::kCutShort:
      return "cut-short";
  }
  return "";
}

ByteVector Harmed(ByteVector f, Harm harm, unsigned seed) {
  // The index goes: cut off where it ends the file, wiped where it stands before the media.
  std::size_t mediaBegin = f.size(), mediaEnd = 0;
  for (const Box& b : TopLevel(f)) {
    if (b.type == "mdat") {
      mediaBegin = std::min(mediaBegin, b.at + 8);
      mediaEnd = std::max(mediaEnd, b.at + b.size);
    }
  }
  for (const Box& b : TopLevel(f)) {
    if (b.type != "moov") continue;
    if (b.at > mediaBegin) {
      f.resize(b.at);
    } else {
      std::fill_n(f.begin() + long(b.at), b.size, 0);
    }
    break;
  }
  mediaEnd = std::min(mediaEnd, f.size());
  std::mt19937 random(seed);
  const auto somewhere = [&](std::size_t length) {
    return mediaBegin + random() % (mediaEnd - mediaBegin - length);
  };
  switch (harm) {
    case Harm::kIndexLost:
      break;
    case Harm::kZeroPages:
      for (int i = 0; i < 2; ++i) std::fill_n(f.begin() + long(somewhere(4096) & ~4095u), 4096, 0);
      break;
    case Harm::kBursts:
      for (int i = 0; i < 3; ++i) {
        const std::size_t length = 64 + random() % 2000, at = somewhere(length);
        for (std::size_t k = at; k < at + length; ++k) f[k] = std::uint8_t(random());
      }
      break;
    case Harm::kCutShort:
      f.resize(mediaBegin + (mediaEnd - mediaBegin) * 7 / 10);
      break;
  }
  return f;
}

struct Repaired {
  qm_code code;
  std::string json;
  std::vector<std::string> outputs;  // one per sound track written
  std::uint32_t rate = 0;
  std::string rateSource, rateFile;
  bool video = false;
};

Repaired Repair(const std::string& in, const std::string& out, const qm_options* options) {
  qm_result* raw = nullptr;
  Repaired r;
  r.code = qm_repair(in.c_str(), out.c_str(), options, &raw);
  r.json = qm_result_json(raw);
  for (std::size_t i = 0; i < qm_result_track_count(raw); ++i) {
    const std::string output = qm_result_output(qm_result_track(raw, i));
    if (!output.empty()) r.outputs.push_back(output);
  }
  r.rate = qm_result_rate(raw);
  r.rateSource = qm_result_rate_source(raw);
  r.rateFile = qm_result_rate_file(raw);
  qm_container c{};
  qm_result_container(raw, &c);
  r.video = c.video != 0;
  qm_result_free(raw);
  return r;
}

// The sound streams of a healthy file, each as FFmpeg reads its packets.
std::vector<test::MediaInfo> SoundOf(const std::string& path) {
  std::vector<test::MediaInfo> sound;
  const test::MediaInfo all = test::ReadMedia(path);
  for (std::size_t s = 0; s < all.streams.size(); ++s) {
    if (all.streams[s].rfind("audio:", 0) == 0) sound.push_back(test::ReadMedia(path, int(s)));
  }
  return sound;
}

// Every packet of the healthy file (any stream) with its place, for telling which survived.
std::vector<std::pair<std::int64_t, std::size_t>> AllPackets(const std::string& path) {
  std::vector<std::pair<std::int64_t, std::size_t>> all;
  const test::MediaInfo info = test::ReadMedia(path);
  for (std::size_t s = 0; s < info.streams.size(); ++s) {
    for (const auto& p : test::ReadMedia(path, int(s)).packets)
      all.emplace_back(p.position, p.data.size());
  }
  std::sort(all.begin(), all.end());
  return all;
}

// The oracle: each output holds its own track's surviving frames and nothing of another's.
void ExpectTracksBack(const std::string& original, const ByteVector& damaged, const Repaired& r) {
  const std::vector<test::MediaInfo> truth = SoundOf(original);
  ASSERT_EQ(r.outputs.size(), truth.size()) << r.json;
  const auto all = AllPackets(original);
  // A packet is intact when its bytes are as they were; it must come back when its neighbours
  // in the file are intact too, as a chain needs.
  std::map<std::int64_t, bool> sound;
  for (std::size_t k = 0; k < truth.size(); ++k) {
    for (const auto& p : truth[k].packets) {
      sound[p.position] = p.position >= 0 &&
                          std::size_t(p.position) + p.data.size() <= damaged.size() &&
                          std::equal(p.data.begin(), p.data.end(), damaged.begin() + p.position);
    }
  }
  const auto survived = [&](std::int64_t pos, std::size_t size) {
    return pos >= 0 && std::size_t(pos) + size <= damaged.size() &&
           (!sound.count(pos) || sound[pos]);
  };
  // Without an index the tracks' order in it is not known: each output is the track it shares
  // its frames with, and no two outputs are one track.
  std::vector<std::size_t> trackOf(truth.size());
  std::set<std::size_t> taken;
  for (std::size_t o = 0; o < r.outputs.size(); ++o) {
    std::multiset<ByteVector> frames;
    for (const auto& p : test::ReadMedia(r.outputs[o]).packets) frames.insert(p.data);
    std::size_t best = 0, shared = 0;
    for (std::size_t k = 0; k < truth.size(); ++k) {
      std::size_t n = 0;
      for (const auto& p : truth[k].packets) n += frames.count(p.data) > 0;
      if (n > shared) best = k, shared = n;
    }
    trackOf[o] = best;
    taken.insert(best);
  }
  EXPECT_EQ(taken.size(), truth.size()) << "two outputs hold one track";
  for (std::size_t o = 0; o < r.outputs.size(); ++o) {
    const std::size_t k = trackOf[o];
    SCOPED_TRACE("track " + std::to_string(k + 1));
    const test::MediaInfo back = test::ReadMedia(r.outputs[o]);
    std::multiset<ByteVector> returned;
    for (const auto& p : back.packets) returned.insert(p.data);
    std::set<ByteVector> own, inPlace;
    for (const auto& p : truth[k].packets) {
      own.insert(p.data);
      if (p.position >= 0 && std::size_t(p.position) + p.data.size() <= damaged.size()) {
        inPlace.emplace(damaged.begin() + p.position,
                        damaged.begin() + p.position + long(p.data.size()));
      }
    }
    std::size_t strangers = 0;
    for (const ByteVector& f : returned) strangers += !own.count(f) && !inPlace.count(f);
    EXPECT_EQ(strangers, 0u) << "frames not of this track";
    std::size_t lost = 0, safe = 0;
    for (const auto& p : truth[k].packets) {
      const auto at =
          std::lower_bound(all.begin(), all.end(), std::make_pair(p.position, std::size_t{0}));
      bool neighbours = true;
      for (long d = -4; d <= 4 && neighbours; ++d) {
        const long i = long(at - all.begin()) + d;
        if (i >= 0 && i < long(all.size())) neighbours = survived(all[i].first, all[i].second);
      }
      if (!neighbours) continue;
      ++safe;
      lost += returned.count(p.data) == 0;
    }
    EXPECT_GT(safe, 0u);
    EXPECT_EQ(lost, 0u) << "of " << safe << " frames with intact neighbours; " << r.json;
  }
}

struct Shape {
  const char* name;
  std::string (*make)();
  bool video = false;
};

// The shapes phones, cameras, recorders and screen recorders write.
const Shape kShapes[] = {
    {"quicktime",
     [] { return Made("quicktime.mov", Ff() + kVoice + "-c:a aac -b:a 96k -f mov OUT"); }},
    {"qtmux-voaacenc",
     [] {
       return Made("qtmux.mov",
                   "gst-launch-1.0 -q audiotestsrc num-buffers=560 wave=sine freq=330 ! "
                   "audio/x-raw,rate=48000,channels=1 ! voaacenc bitrate=64000 ! qtmux ! "
                   "filesink location=OUT");
     }},
    {"phone-mp4",
     [] {
       return Made("phone.mp4", Ff() + kPicture + kVoice +
                                    "-c:v libx264 -preset veryfast -c:a aac -ac 1 -b:a 64k OUT");
     },
     true},
    {"phone-mov",
     [] {
       return Made("phone.mov",
                   Ff() + kPicture + kVoice +
                       "-c:v libx264 -preset veryfast -c:a aac -ac 1 -b:a 64k -f mov OUT");
     },
     true},
    {"two-layouts",
     [] {
       return Made("two-layouts.mp4",
                   Ff() + kVoice + kMusic + "-map 0 -map 1 -c:a aac -ac:0 1 -ac:1 2 -b:a 96k OUT");
     }},
    {"two-rates",
     [] {
       return Made("two-rates.mp4",
                   Ff() + kMusic + kVoice +
                       "-map 0 -map 1 -c:a aac -ac:0 2 -ac:1 1 -ar:1 22050 -b:a 96k OUT");
     }},
    {"two-rates-chunks",
     [] {
       return Made("two-rates-chunks.mp4",
                   Ff() + kMusic + kVoice +
                       "-map 0 -map 1 -c:a aac -ac:0 2 -ac:1 1 -ar:1 22050 -b:a 96k "
                       "-chunk_duration 500000 OUT");
     }},
    {"fragmented",
     [] {
       return Made("fragmented.mp4", Ff() + kVoice +
                                         "-c:a aac -b:a 96k -movflags frag_keyframe+empty_moov "
                                         "-frag_duration 500000 OUT");
     }},
    {"alac-16-stereo",
     [] { return Made("alac16.m4a", Ff() + kMusic + "-ac 2 -c:a alac -sample_fmt s16p OUT"); }},
    {"alac-24-mono",
     [] { return Made("alac24.m4a", Ff() + kVoice + "-ar 44100 -c:a alac -sample_fmt s32p OUT"); }},
    {"alac-mov",
     [] { return Made("alac.mov", Ff() + kVoice + "-c:a alac -sample_fmt s16p -f mov OUT"); }},
    {"aac-main",
     [] {
       return Made("main.m4a",
                   Ff() + kVoice + "-c:a aac -profile:a aac_main -aac_pred 1 -b:a 96k OUT");
     }},
};

void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }

std::string MadeShape(std::string_view name) {
  for (const Shape& s : kShapes) {
    if (name == s.name) return s.make();
  }
  throw std::invalid_argument(std::string(name));
}

class Family : public testing::TestWithParam<std::tuple<Shape, Harm>> {};

TEST_P(Family, EveryTracksSurvivingFramesComeBackInItsOwnFile) {
  const auto& [shape, harm] = GetParam();
  const std::string original = shape.make();
  const ByteVector damaged = Harmed(test::ReadFile(fs::u8path(original)), harm, 7);
  test::TempDir dir;
  test::WriteFile(dir.path() / "damaged", damaged);
  const Repaired r = Repair(dir.File("damaged"), dir.File("repaired.m4a"), nullptr);
  ASSERT_EQ(r.code, QM_REPAIRED) << r.json;
  EXPECT_EQ(r.video, shape.video) << r.json;
  ExpectTracksBack(original, damaged, r);
  // What a player makes of each: it decodes.
  for (const std::string& out : r.outputs) EXPECT_EQ(test::CountDecodeErrors(out), 0) << out;
}

INSTANTIATE_TEST_SUITE_P(Shapes, Family,
                         testing::Combine(testing::ValuesIn(kShapes),
                                          testing::Values(Harm::kIndexLost, Harm::kZeroPages,
                                                          Harm::kBursts, Harm::kCutShort)),
                         [](const auto& info) {
                           std::string name = std::string(std::get<0>(info.param).name) + "_" +
                                              Name(std::get<1>(info.param));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// A screen recording's microphone and system sound: two tracks of one setting, laid frame by
// frame in turn. Without an index nothing tells them apart, and they are not written as one;
// a healthy recording of the same program does.
TEST(SameSettingTracks, NeedASampleAndComeBackApartWithIt) {
  const std::string original =
      Made("screen.mp4", Ff() + kVoice + kMusic + "-map 0 -map 1 -c:a aac -ac 1 -b:a 96k OUT");
  const std::string sample =
      Made("screen-earlier.mp4",
           Ff() +
               "-f lavfi -i \"sine=f=200:r=48000:d=4\" -f lavfi -i \"anoisesrc=r=48000:d=4:a=0.1\" "
               "-map 0 -map 1 -c:a aac -ac 1 -b:a 96k OUT");
  for (const Harm harm : {Harm::kIndexLost, Harm::kBursts}) {
    SCOPED_TRACE(Name(harm));
    const ByteVector damaged = Harmed(test::ReadFile(fs::u8path(original)), harm, 3);
    test::TempDir dir;
    test::WriteFile(dir.path() / "damaged.mp4", damaged);
    Repaired r = Repair(dir.File("damaged.mp4"), dir.File("out.m4a"), nullptr);
    EXPECT_EQ(r.code, QM_ERR_NEEDS_SAMPLE) << r.json;
    EXPECT_NE(r.json.find("\"action\":\"sample\""), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    qm_options options;
    qm_options_init(&options);
    options.sample_path = sample.c_str();
    r = Repair(dir.File("damaged.mp4"), dir.File("out.m4a"), &options);
    ASSERT_EQ(r.code, QM_REPAIRED) << r.json;
    ASSERT_EQ(r.outputs.size(), 2u);
    EXPECT_EQ(fs::path(r.outputs[1]).filename(), "out-track2.m4a");
    ExpectTracksBack(original, damaged, r);

    options.track = 2;  // just the system sound
    r = Repair(dir.File("damaged.mp4"), dir.File("system.m4a"), &options);
    ASSERT_EQ(r.code, QM_REPAIRED) << r.json;
    EXPECT_EQ(r.outputs.size(), 1u);
    EXPECT_EQ(test::ReadMedia(r.outputs[0]).packets.size(),
              test::ReadMedia(dir.File("out-track2.m4a")).packets.size());
  }
}

// A sample of two tracks given for a recording of one does not cut it into two.
TEST(SameSettingTracks, ASampleOfTwoTracksLeavesOneTrackWhole) {
  const std::string sample =
      Made("screen-earlier.mp4",
           Ff() +
               "-f lavfi -i \"sine=f=200:r=48000:d=4\" -f lavfi -i \"anoisesrc=r=48000:d=4:a=0.1\" "
               "-map 0 -map 1 -c:a aac -ac 1 -b:a 96k OUT");
  const std::string original = MadeShape("quicktime");
  const ByteVector damaged = Harmed(test::ReadFile(fs::u8path(original)), Harm::kBursts, 5);
  test::TempDir dir;
  test::WriteFile(dir.path() / "one.mov", damaged);
  qm_options options;
  qm_options_init(&options);
  options.sample_path = sample.c_str();
  const Repaired r = Repair(dir.File("one.mov"), dir.File("out.m4a"), &options);
  ASSERT_EQ(r.code, QM_REPAIRED) << r.json;
  ExpectTracksBack(original, damaged, r);
}

// A healthy QuickTime file or phone video is a sample like any other.
TEST(Samples, QuickTimeAndVideoSamplesAreRead) {
  const std::string damagedFrom = MadeShape("quicktime");
  const ByteVector damaged = Harmed(test::ReadFile(fs::u8path(damagedFrom)), Harm::kIndexLost, 1);
  test::TempDir dir;
  test::WriteFile(dir.path() / "damaged.mov", damaged);
  for (const std::string& sample : {MadeShape("quicktime"), MadeShape("phone-mov")}) {
    qm_options options;
    qm_options_init(&options);
    options.sample_path = sample.c_str();
    const Repaired r = Repair(dir.File("damaged.mov"), dir.File("out.m4a"), &options);
    EXPECT_EQ(r.code, QM_REPAIRED) << sample << r.json;
    EXPECT_EQ(r.rateSource, "sample");
    EXPECT_EQ(r.rate, 48000u);
    fs::remove(dir.path() / "out.m4a");
  }
}

// Lossless comes back lossless: the same samples, bit for bit, where nothing was damaged.
TEST(Lossless, AnUndamagedStretchDecodesToTheSameSamples) {
  const std::string original = MadeShape("alac-16-stereo");
  const ByteVector damaged = Harmed(test::ReadFile(fs::u8path(original)), Harm::kIndexLost, 1);
  test::TempDir dir;
  test::WriteFile(dir.path() / "damaged.m4a", damaged);
  const Repaired r = Repair(dir.File("damaged.m4a"), dir.File("out.m4a"), nullptr);
  ASSERT_EQ(r.code, QM_REPAIRED) << r.json;
  std::string a, b;
  ASSERT_EQ(test::Run(Ff() + "-i " + test::Quote(original) + " -f md5 -", &a), 0);
  ASSERT_EQ(test::Run(Ff() + "-i " + test::Quote(r.outputs[0]) + " -f md5 -", &b), 0);
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace quillmend
