// The runner of the SDK's two repairs: called in C++, their codes put into words in this one
// place, their stages and the ffmpeg tool's output shown as progress.
#include "core/result_codes.h"
#include "io/cancel.h"
#include "io/env.h"
#include "output.h"
#include "paths.h"
#include "repair.h"
#include "repair/sdk_methods.h"
#include "verify.h"
#include "words.h"
#include "workspace.h"

namespace quillmend::api {
namespace {

// The advanced repair's decoded audio is about eleven times the size of its AAC input.
constexpr std::uint64_t kAdvancedSpaceFactor = 11;
// The advanced repair's output: AAC at 128 kbit/s.
constexpr double kTranscodedBytesPerSecond = 128000.0 / 8;

// Maps the SDK's phases onto the progress scale, and shows the ffmpeg tool's progress by the
// size of what it has written against what the decoded audio will make.
struct SdkProgress {
  Progress& progress;
  qm_method method;
  std::filesystem::path pcm, output;
  std::uint32_t rate;
  double at = 0.1;
  bool transcoding = false;

  void Note(Phase phase, double fraction) {
    switch (phase) {
      case Phase::kCut:
        at = 0.1 + 0.7 * fraction;
        break;
      case Phase::kDecode:
        at = 0.1 + 0.4 * fraction;
        break;
      case Phase::kTranscode:
        at = 0.5;
        transcoding = true;
        break;
    }
    progress.Report(at);
  }
  bool Ask() {
    if (transcoding) {
      FileInfo in, out;
      CurrentEnv()->Stat(pcm, &in);
      CurrentEnv()->Stat(output, &out);
      const double seconds = double(in.size) / (double(rate) * 4);
      if (seconds > 0) {
        at = 0.5 + 0.4 * std::min(1.0, double(out.size) / (seconds * kTranscodedBytesPerSecond));
      }
    }
    return progress.Report(at);
  }
  static void OnNote(void* self, Phase phase, double fraction) {
    static_cast<SdkProgress*>(self)->Note(phase, fraction);
  }
  static bool OnAsk(void* self) { return static_cast<SdkProgress*>(self)->Ask(); }
};

Status SdkStatus(ResultCode code, const Request& q, const Walked& w) {
  const std::string name = FileName(q.input);
  const bool general = q.options.method == QM_METHOD_GENERAL;
  const bool noAudio = w.status.code() == Status::Code::kNoAudio;
  switch (code) {
    case kMapFailed:
    case kAllocFailed:
      return Status::Failed(Status::Code::kInput, "cannot read " + name,
                            "check that you may read it");
    case kNotM4a:
      return noAudio ? Status::Failed(Status::Code::kNoAudio, "no audio was found in " + name,
                                      "the file may not be a recording at all")
                     : Status::Failed(Status::Code::kOutput,
                                      "the " + std::string(qm_method_name(q.options.method)) +
                                          " repair takes only files whose header says M4A",
                                      "use the exact method");
    case kNoMediaData:
      return Status::Failed(Status::Code::kNoAudio,
                            "no audio was found in " + name + ": it holds no media data",
                            "the file may not be a recording at all, or its audio may be "
                            "overwritten");
    case kNoSampleTable:
      return Status::Failed(
          Status::Code::kSample,
          "the healthy recording " + FileName(q.sample) + " lacks its sample tables",
          "give another healthy recording made by the same recorder");
    case kMediaFailed:
      return general ? Status::Failed(Status::Code::kCheck,
                                      "the frames it cut out do not make a file: the recorder's "
                                      "frame heads are not the usual ones",
                                      "use the exact method")
                     : Status::Failed(
                           Status::Code::kSample,
                           "the healthy recording " + FileName(q.sample) + " cannot be decoded",
                           "give another healthy recording, or use the exact method");
    case kTranscoderNotStarted:
      return Status::Failed(Status::Code::kTranscoder,
                            "the ffmpeg tool beside the program could not be started",
                            "install ffmpeg beside quillmend, or use the exact method");
    case kTranscoderFailed:
      return Status::Failed(Status::Code::kTranscoder, "the ffmpeg tool failed",
                            "use the exact method; the log says more");
    case kWriteFailed:
      return WriteFailure(q, "a write failed");
    case kCancelled:
      return Status::Cancelled();
    case kTooLarge:
      return Status::Failed(Status::Code::kInput, name + " is too large for this method",
                            "use the exact method");
    case kTranscoderArguments:
      return Status::Failed(Status::Code::kOutput, "a path cannot be handed to the ffmpeg tool",
                            "choose an output folder whose path holds no double quote");
    case kIntermediateFile:
    case kOutputClash:
      return Status::Failed(Status::Code::kOutput, "an intermediate file could not be written",
                            "choose another output folder");
    default:
      return Status::Failed(Status::Code::kInternal,
                            "the repair failed with code " + std::to_string(code),
                            "use the exact method; the log says more");
  }
}

}  // namespace

Status RunSdkMethod(const Request& q, const Walked& w, const Workspace& workspace,
                    Progress& progress, qm_result* r) {
  const fs::path out = workspace.Output(1);
  const std::string outUtf8 = ToUtf8(out);
  const exact::StreamParams params =
      w.walk.streams.empty() ? exact::StreamParams{} : w.walk.streams[0];
  SdkProgress relay{progress, q.options.method, workspace.File("tmp.pcm"), out,
                    params.rate != 0 ? params.rate : 44100};
  ResultCode code;
  {
    ScopedStopQuestion stop(&SdkProgress::OnAsk, &relay, &SdkProgress::OnNote);
    if (q.options.method == QM_METHOD_GENERAL) {
      code = GeneralRepairCall(q.input.c_str(), outUtf8.c_str());
    } else {
      if (q.sample.empty()) {
        r->suggestions = {{QM_TRY_SAMPLE, 0}, {QM_TRY_METHOD, QM_METHOD_EXACT}};
        return Status::Failed(
            Status::Code::kArgument,
            "the advanced repair needs a healthy recording from the same recorder",
            "give one, or use the exact method");
      }
      std::uint64_t available = 0;
      const std::uint64_t needed = w.file->Size() * kAdvancedSpaceFactor;
      if (!CurrentEnv()->FreeSpace(out.parent_path(), &available) && available < needed) {
        return Status::Failed(Status::Code::kNoSpace,
                              "not enough space on " + ToUtf8(q.outputPath.parent_path()) +
                                  ": the advanced repair needs about " +
                                  std::to_string(needed >> 20) + " MB, " +
                                  std::to_string(available >> 20) + " MB are free",
                              "free some space, or write the output to another disk");
      }
      code = AdvanceRepairCall(q.input.c_str(), q.sample.c_str(), outUtf8.c_str());
    }
  }
  if (code != kOk) return SdkStatus(code, q, w);

  Expected e;
  e.method = q.options.method;
  for (const exact::FrameRef& f : w.walk.frames) e.frames += f.stream == 0 ? 1 : 0;
  e.rate = params.rate;
  e.rateKnown = params.rate != 0 && !params.rateAssumed();
  e.seconds = double(e.frames) * w.walk.SecondsPerFrame();
  r->track = 1;
  r->output = q.output;
  return Verify(outUtf8, e, r);
}

}  // namespace quillmend::api
