#include "support/recordings.h"

#include <atomic>
#include <exception>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/support.h"

namespace quillmend::test {
namespace {

const char* EncoderName(Encoder encoder) {
  return encoder == Encoder::kFfmpeg ? "ffmpeg" : "visualon";
}

const char* ContentName(Content content) {
  switch (content) {
    case Content::kMusic:
      return "music";
    case Content::kSpeech:
      return "speech";
    default:
      return "silence";
  }
}

// A filter graph of lavfi sources for `seconds` of the content at `rate`, one channel.
std::string Graph(Content content, int rate, int seconds) {
  std::ostringstream g;
  const std::string common = ":r=" + std::to_string(rate) + ":d=" + std::to_string(seconds);
  switch (content) {
    case Content::kMusic:
      g << "sine=f=220" << common << "[a];sine=f=1330" << common << "[b];"
        << "anoisesrc=c=pink:a=0.25:seed=5" << common
        << "[n];[a][b][n]amix=inputs=3:normalize=0,volume=0.5";
      break;
    case Content::kSpeech:
      // A sawtooth buzz whose pitch wanders, cut into syllables, through a voice's band; hiss
      // for the consonants.
      g << "aevalsrc='0.5*(mod(t*(125+15*sin(2*PI*0.7*t)),1)-0.5)"
        << "*gt(sin(2*PI*2.3*t)+0.4*sin(2*PI*0.37*t),-0.2)':s=" << rate << ":d=" << seconds
        << ",highpass=f=150,lowpass=f=3800[v];anoisesrc=c=white:a=0.03:seed=9" << common
        << ",highpass=f=3000[f];[v][f]amix=inputs=2:normalize=0";
      break;
    default:
      g << "anullsrc=r=" << rate << ",atrim=duration=" << seconds;
      break;
  }
  return g.str();
}

void MustRun(const std::string& command) {
  if (Run(command) != 0) throw std::runtime_error("failed: " + command);
}

// Made under a name of its own, then renamed into place: two programs that make the same file at
// once both succeed, and a reader never sees half of one.
std::string MakeOnce(const std::string& name, const auto& make) {
  const fs::path path = MediaDirectory() / name;
  if (fs::exists(path)) return U8(path);
  fs::create_directories(MediaDirectory());
  const std::string part =
      U8(MediaDirectory() / ("part-" + std::to_string(std::random_device{}()) + "-" + name));
  make(part);
  std::error_code ignored;
  fs::rename(fs::u8path(part), path, ignored);
  fs::remove(fs::u8path(part), ignored);
  if (!fs::exists(path)) throw std::runtime_error("could not make " + U8(path));
  return U8(path);
}

std::string Source(const Recording& r) {
  const std::string name = std::string("src-") + ContentName(r.content) + "-" +
                           std::to_string(r.rate) + "-" + std::to_string(r.channels) + "ch-" +
                           std::to_string(r.seconds) + "s.wav";
  return MakeOnce(name, [&](const std::string& part) {
    MustRun("ffmpeg -nostdin -v error -y -filter_complex \"" + Graph(r.content, r.rate, r.seconds) +
            ",aformat=sample_fmts=s16:channel_layouts=" + (r.channels == 1 ? "mono" : "stereo") +
            "\" -ar " + std::to_string(r.rate) + " -f wav " + Quote(part));
  });
}

}  // namespace

std::string Recording::Name() const {
  std::ostringstream name;
  name << "rec-" << EncoderName(encoder) << "-" << ContentName(content) << "-" << rate << "-"
       << channels << "ch-" << (kbps == 0 ? std::string("default") : std::to_string(kbps) + "k")
       << "-" << seconds << "s." << container;
  return name.str();
}

std::string Recording::Describe() const {
  std::ostringstream text;
  text << (encoder == Encoder::kFfmpeg ? "FFmpeg" : "VisualOn") << " " << rate << " Hz "
       << (channels == 1   ? "mono"
           : channels == 2 ? "stereo"
                           : std::to_string(channels) + "ch")
       << " " << (kbps == 0 ? std::string("default") : std::to_string(kbps) + " kbit/s") << " "
       << ContentName(content) << " (" << container << ")";
  return text.str();
}

std::string Make(const Recording& r) {
  const fs::path path = MediaDirectory() / r.Name();
  if (fs::exists(path)) return U8(path);  // also where the tools are not: Windows
  const std::string source = Source(r);
  return MakeOnce(r.Name(), [&](const std::string& part) {
    if (r.encoder == Encoder::kFfmpeg) {
      MustRun("ffmpeg -nostdin -v error -y -i " + Quote(source) + " -c:a aac" +
              (r.kbps ? " -b:a " + std::to_string(r.kbps) + "k" : "") + " -f " +
              (r.container == "mov" ? "mov " : "ipod ") + Quote(part));
    } else {
      MustRun("gst-launch-1.0 -q filesrc location=" + Quote(source) +
              " ! wavparse ! audioconvert ! voaacenc" +
              (r.kbps ? " bitrate=" + std::to_string(r.kbps * 1000) : "") + " ! " +
              (r.container == "mov" ? "qtmux" : "mp4mux") + " ! filesink location=" + Quote(part));
    }
  });
}

void MakeAll(const std::vector<Recording>& recordings, int atOnce) {
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  std::vector<std::thread> workers;
  for (int w = 0; w < atOnce; ++w) {
    workers.emplace_back([&] {
      for (std::size_t i; !failed && (i = next++) < recordings.size();) {
        try {
          Make(recordings[i]);
        } catch (...) {
          if (!failed.exchange(true)) failure = std::current_exception();
        }
      }
    });
  }
  for (std::thread& t : workers) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quillmend::test
