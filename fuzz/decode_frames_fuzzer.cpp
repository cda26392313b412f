// The advanced repair's scan-and-decode loop over any bytes given as the damaged file, with the
// decoder and the frame-head profile of one real sample recording. The sample is the file named
// by QUILLMEND_FUZZ_SAMPLE, or a second of tone that the ffmpeg tool records at start-up.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz_support.h"
#include "io/output_file.h"
#include "io/utf8.h"
#include "repair/frame_decoding.h"
#include "repair/sample_decoder.h"
#include "core/repair_context.h"
#include "repair/stages.h"

namespace {

using namespace quillmend;
using fuzz::Require;

struct Sample {
  std::shared_ptr<const FrameHeadSet> profile;
  SampleDecoder decoder;  // its stream's parameters set up a fresh decoder for every input
  const AVCodecParameters* parameters = nullptr;
};

Sample& TheSample() {
  static Sample sample;
  return sample;
}

std::string SamplePath() {
  if (const char* given = std::getenv("QUILLMEND_FUZZ_SAMPLE"); given != nullptr && *given) {
    return given;
  }
  const std::string path = fuzz::Scratch().Path("sample.m4a");
  const std::string command =
      "timeout 60 ffmpeg -nostdin -v error -f lavfi -i sine=frequency=440:duration=1 -ac 2 "
      "-ar 44100 -c:a aac -b:a 128k -cutoff 20000 -y '" +
      path + "'";
  Require(std::system(command.c_str()) == 0, "the ffmpeg tool could not record the sample");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  av_log_set_level(AV_LOG_QUIET);  // every refused frame would print a line otherwise
  fuzz::OpenQuietLog();
  Sample& sample = TheSample();
  const std::string path = SamplePath();
  RepairContext context;
  Require(MapContextFile(context, path) == kOk && PrepareSampleFile(context) == kOk,
          "the sample recording does not prepare");
  sample.profile = context.frameHeads;
  Require(sample.profile && !sample.profile->empty(), "the sample gives no frame heads");
  Require(OpenSampleDecoder(context, sample.decoder, path) == kOk,
          "the sample recording does not open as a decoder");
  const AVFormatContext& format = *sample.decoder.formatContext;
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    if (format.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      sample.parameters = format.streams[i]->codecpar;
      break;
    }
  }
  Require(sample.parameters != nullptr, "the sample has no audio stream");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Sample& sample = TheSample();
  const fuzz::ScratchDir& scratch = fuzz::Scratch();
  const std::string damagedPath = scratch.Write("damaged.m4a", data, size);
  const std::string pcmPath = scratch.Path("tmp.pcm");
  RemoveIfExists(pcmPath);
  {
    MappedFile damaged(Utf8ToWide(damagedPath));
    if (damaged.Data() == nullptr) {
      Require(size == 0, "a non-empty file that does not map");
      return 0;
    }
    // A decoder of its own per input, so that no state of an earlier input decides this one.
    CodecContextPtr decoder(avcodec_alloc_context3(sample.decoder.decoder));
    Require(decoder && avcodec_parameters_to_context(decoder.get(), sample.parameters) >= 0 &&
                avcodec_open2(decoder.get(), sample.decoder.decoder, nullptr) >= 0,
            "the sample's decoder does not open");
    SwrContextPtr resampler;
    Require(ConfigureStereoResampler(resampler, decoder->ch_layout.nb_channels, decoder->sample_fmt,
                                     decoder->sample_rate) >= 0,
            "the resampler does not open");

    RepairContext context;
    context.frameHeads = sample.profile;
    AppendFile pcm(pcmPath);
    Require(pcm.IsOpen(), "cannot open the scratch PCM file");
    const ResultCode r = DecodeFramesToPcm(context, damaged, *decoder, resampler, pcm);
    Require(r == kOk || r == kEndOfScan, "an undocumented decoding result");
  }
  Require(fuzz::ReadWholeFile(pcmPath).size() % 4 == 0, "PCM that is not whole stereo samples");
  fuzz::RequireUnchanged(damagedPath, data, size);
  return 0;
}
