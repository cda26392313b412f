#pragma once
// Recordings made the way recorders make them: any encoder we can run here, sampling rate,
// channel count, bitrate and container. Each is made once, when a test first asks for it, and
// kept in the test media directory under a name that says how it was made, so that test
// programs share it and the sanitizer and Windows runs read the native run's.
#include <string>
#include <vector>

namespace quillmend::test {

enum class Encoder {
  kFfmpeg,    // FFmpeg's own AAC encoder (average bitrate, noise and intensity coding)
  kVisualOn,  // GStreamer's voaacenc (constant bitrate, padded with fill elements)
};

enum class Content {
  kMusic,    // two tones over pink noise: every band busy
  kSpeech,   // a buzzing voice at about 125 Hz in syllables and pauses, band-limited, with hiss
  kSilence,  // digital silence
};

struct Recording {
  Encoder encoder = Encoder::kFfmpeg;
  int rate = 48000;
  int channels = 2;
  int kbps = 0;  // 0: the encoder's default
  Content content = Content::kMusic;
  int seconds = 3;
  std::string container = "m4a";  // or "mov"

  // The file name, e.g. "rec-ffmpeg-music-48000-2ch-128k-3s.m4a".
  std::string Name() const;
  // "FFmpeg 48000 Hz stereo 128 kbit/s music", for messages.
  std::string Describe() const;
};

// The recording's path, made first if it is not there yet. Throws when it cannot be made.
std::string Make(const Recording& recording);
// Makes those not there yet, a few at a time: most of the time goes into starting the tools.
void MakeAll(const std::vector<Recording>& recordings, int atOnce = 4);

}  // namespace quillmend::test
