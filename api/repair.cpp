#include "repair.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/log_sink.h"
#include "io/env.h"
#include "io/utf8.h"
#include "mp4/container.h"
#include "output.h"
#include "paths.h"
#include "siblings.h"
#include "verify.h"
#include "words.h"
#include "workspace.h"

namespace quillmend::api {
namespace {

// The size of qm_options in the first release: callers built against it pass this.
constexpr std::size_t kFirstOptionsSize = offsetof(qm_options, progress_user) + sizeof(void*);

bool HasSoundEntry(const ContainerLayout& layout) {
  for (const Track& t : layout.tracks) {
    if (!t.entry.audioConfig.empty() || !t.entry.alacCookie.empty()) return true;
  }
  return !layout.audioConfig.empty();
}

const char* IndexName(IndexSource source) {
  switch (source) {
    case IndexSource::kMoov:
      return "whole";
    case IndexSource::kMoovCut:
      return "cut";
    case IndexSource::kRemains:
      return "remains";
    case IndexSource::kNone:
      break;
  }
  return "";
}

std::string CodecName(const exact::StreamParams& p) {
  if (p.codec == exact::Codec::kAlac) return "alac";
  if (p.ps) return "he-aac-v2";
  if (p.sbr) return "he-aac";
  return p.objectType == 1 ? "aac-main" : p.objectType == 4 ? "aac-ltp" : "aac";
}

}  // namespace

void TakeStream(const exact::StreamParams& p, qm_result* r) {
  r->rate = p.rate;
  r->rateAssumed = p.rate != 0 && p.rateAssumed();
  r->rateSource = p.rate != 0 ? exact::RateSourceName(p.rateChoice.source) : "";
  r->rateConfidence = p.rate != 0 ? exact::ConfidenceName(p.rateChoice.confidence) : "";
  r->rateFile = p.rateChoice.file;
  r->rateReason = p.rateChoice.reason;
  r->rateAlternatives = p.rateChoice.alternatives;
  r->channels = p.channels;
  r->codec = CodecName(p);
}

namespace {

void TakeWalk(const exact::WalkResult& walk, qm_result* r) {
  if (!walk.streams.empty()) TakeStream(walk.streams[0], r);
  const exact::ContainerFacts& c = walk.container;
  r->brand = c.brand;
  r->index = IndexName(c.indexSource);
  r->moov = c.moov;
  r->mdatFound = c.mdatFound;
  r->fragmented = c.fragmented;
  r->video = walk.video;
  r->indexedFrames = c.indexedFrames;
  r->containerTracks = c.tracks;
  r->mediaBytes = 0;
  for (const auto& [begin, end] : c.mediaRegions) r->mediaBytes += end - begin;
  r->damage.clear();
  r->lostSeconds = 0;
  const double perFrame = walk.SecondsPerFrame();
  for (const exact::Stretch& s : walk.damage) {
    const double lost = s.estimatedFrames * perFrame;
    r->damage.push_back({s.offset, s.length, s.framesBefore * perFrame, lost});
    r->lostSeconds += lost;
  }
}

// The healthy sample the caller gave, as a reference; a failure when it holds nothing usable.
Status ReadSample(const Request& q, std::optional<exact::Reference>* sample) {
  MappedFile file(Utf8ToWide(q.sample));
  exact::Reference reference;
  reference.name = FileName(q.sample);
  if (file.Data() != nullptr) reference.layout = ReadContainer(file.Data(), file.Size());
  if (!HasSoundEntry(reference.layout)) {
    return Status::Failed(Status::Code::kSample,
                          "the healthy recording " + reference.name +
                              " holds no sound track whose settings can be read",
                          "give a healthy recording made by the same recorder, or leave it out");
  }
  *sample = std::move(reference);
  return Status::Ok();
}

// The walk's outcome with what the caller may do about it, and the file's name where a person
// needs it.
Status WalkFailure(const Request& q, const Status& status, const exact::WalkResult& walk,
                   std::vector<qm_suggestion>* suggestions) {
  switch (status.code()) {
    case Status::Code::kMismatch:
      if (q.options.rate_hz != 0) {
        for (const std::uint32_t rate : walk.fittingRates) {
          suggestions->push_back({QM_TRY_RATE, rate});
        }
      }
      return status;
    case Status::Code::kNeedsSample:
      suggestions->push_back({QM_TRY_SAMPLE, 0});
      return status;
    case Status::Code::kNoAudio:
      return Status::Failed(Status::Code::kNoAudio, "no audio was found in " + FileName(q.input),
                            "the file may not be a recording at all, or its audio may be "
                            "encrypted or overwritten");
    default:
      return status;
  }
}

}  // namespace

Status ReadRequest(const char* damaged, const char* output, const qm_options* options, Request* q) {
  qm_options_init(&q->options);
  if (options != nullptr) {
    if (options->size < kFirstOptionsSize) {
      return Status::Failed(Status::Code::kArgument,
                            "the options were made for another version of the library");
    }
    std::memcpy(&q->options, options, std::min<std::size_t>(options->size, sizeof(qm_options)));
    q->options.size = sizeof(qm_options);
  }
  if (damaged == nullptr || *damaged == '\0') {
    return Status::Failed(Status::Code::kArgument, "no damaged file was given");
  }
  if (q->options.method < QM_METHOD_EXACT || q->options.method > QM_METHOD_ADVANCED) {
    return Status::Failed(Status::Code::kArgument,
                          "the method is none of exact, general, advanced");
  }
  if (q->options.rate_hz != 0 && !qm_rate_is_valid(q->options.rate_hz)) {
    return Status::Failed(Status::Code::kArgument,
                          "no recording has the rate " + std::to_string(q->options.rate_hz) + " Hz",
                          "rates: " + RateList(ValidRates()));
  }
  q->input = Absolute(damaged);
  q->inputPath = ToPath(q->input);
  if (output != nullptr) {
    q->output = Absolute(output);
    q->outputPath = ToPath(q->output);
  }
  if (q->options.sample_path != nullptr && *q->options.sample_path != '\0') {
    q->sample = Absolute(q->options.sample_path);
    q->samplePath = ToPath(q->sample);
  }
  if (q->options.sample_dir != nullptr && *q->options.sample_dir != '\0') {
    q->sampleDir = Absolute(q->options.sample_dir);
  }
  return Status::Ok();
}

bool Progress::Report(double fraction) {
  if (options_.progress != nullptr && options_.progress(options_.progress_user, fraction) != 0) {
    stopped_ = true;
  }
  return stopped_;
}

Status WalkInput(const Request& q, Progress& progress, double share, Walked* w, qm_result* r) {
  w->file = std::make_unique<MappedFile>(Utf8ToWide(q.input));
  if (w->file->Data() == nullptr) {
    w->status = Status::Failed(Status::Code::kInput, "cannot read " + FileName(q.input),
                               "check that you may read it");
    Fail(r, w->status);
    return w->status;
  }
  exact::WalkOptions options;
  options.rateHz = q.options.rate_hz;
  options.progress = [&](double f) { return progress.Report(f * share); };
  options.passed = [file = w->file.get()](std::uint64_t begin, std::uint64_t end) {
    file->ReleasePages(begin, end);
  };
  if (!q.sample.empty()) {
    if (Status s = ReadSample(q, &options.sample); !s.ok()) {
      w->status = s;
      Fail(r, s, {{QM_TRY_SAMPLE, 0}});
      return s;
    }
  }
  // The healthy recordings beside the file tell the rate the frames cannot; the SDK's methods
  // take none.
  if (q.options.method == QM_METHOD_EXACT && q.sample.empty() && q.options.rate_hz == 0) {
    const SiblingLook look =
        LookBeside(q.inputPath, q.sampleDir.empty() ? fs::path() : ToPath(q.sampleDir),
                   q.options.no_siblings != 0, {q.inputPath, q.outputPath});
    options.siblings = look.references;
    r->siblingsLooked = look.looked;
    r->siblingsSeconds = look.seconds;
  }
  const Status status = exact::Walk(w->file->Data(), w->file->Size(), options, &w->walk);
  TakeWalk(w->walk, r);
  std::vector<qm_suggestion> suggestions;
  w->status = WalkFailure(q, status, w->walk, &suggestions);
  if (!w->status.ok()) Fail(r, w->status, suggestions);
  return w->status;
}

qm_code Repair(const Request& q, qm_result* r) {
  Progress progress(q.options);
  if (const std::string why = WhyUnreadable(q.inputPath); !why.empty()) {
    return Fail(r,
                Status::Failed(
                    Status::Code::kInput, "cannot read " + FileName(q.input) + ": " + why,
                    why == "empty file" ? "" : "check the file's name and that you may read it"));
  }
  if (!q.sample.empty()) {
    if (const std::string why = WhyUnreadable(q.samplePath); !why.empty()) {
      return Fail(
          r,
          Status::Failed(Status::Code::kSample,
                         "cannot read the healthy recording " + FileName(q.sample) + ": " + why,
                         "give a healthy recording made by the same recorder"),
          {{QM_TRY_SAMPLE, 0}});
    }
  }
  if (const Status s = CheckOutput(q, q.output, q.outputPath); !s.ok()) {
    return Fail(r, s, OutputSuggestions(s));
  }

  Walked w;
  const double walkShare = q.options.method == QM_METHOD_EXACT ? 0.5 : 0.1;
  const Status walked = WalkInput(q, progress, walkShare, &w, r);
  // The SDK's methods cut frames by their own rules and may find what the walk did not.
  if (!walked.ok() &&
      !(walked.code() == Status::Code::kNoAudio && q.options.method != QM_METHOD_EXACT)) {
    return r->code;
  }
  if (double seconds = 0; walked.ok() && w.walk.container.moov && w.walk.damage.empty() &&
                          w.walk.streams.size() == 1 &&
                          w.walk.container.indexedFrames == w.walk.frames.size() &&
                          PlaysAlready(q.input, w.walk.frames.size(), &seconds)) {
    r->code = QM_NOT_DAMAGED;
    r->seconds = seconds;
    r->frames = w.walk.frames.size();
    r->message = "not damaged: plays already (" + SecondsText(seconds) + ")";
    r->hint = "nothing was written";
    return r->code;
  }

  Workspace workspace;
  if (const Status s = MakeWorkspace(q, &workspace); !s.ok())
    return Fail(r, s, {{QM_TRY_OUTPUT, 0}});
  const Status ran = q.options.method == QM_METHOD_EXACT
                         ? RunExact(q, w, workspace, progress, r)
                         : RunSdkMethod(q, w, workspace, progress, r);
  if (!ran.ok()) {
    if (progress.Stopped()) return Fail(r, Status::Cancelled());
    return Fail(r, ran, r->suggestions.empty() ? OutputSuggestions(ran) : r->suggestions);
  }
  if (progress.Report(0.95)) return Fail(r, Status::Cancelled());
  if (const Status s = PutInPlace(q, workspace, r); !s.ok())
    return Fail(r, s, OutputSuggestions(s));
  progress.Report(1.0);
  r->code = QM_REPAIRED;
  Describe(q, w.walk, r);
  LogInfo("repaired %s into %s", q.input.c_str(), q.output.c_str());
  return r->code;
}

qm_code Inspect(const Request& q, qm_result* r) {
  if (const std::string why = WhyUnreadable(q.inputPath); !why.empty()) {
    return Fail(
        r, Status::Failed(Status::Code::kInput, "cannot read " + FileName(q.input) + ": " + why,
                          "check the file's name and that you may read it"));
  }
  Progress progress(q.options);
  Walked w;
  if (const Status s = WalkInput(q, progress, 1.0, &w, r); !s.ok()) return r->code;
  r->frames = 0;
  for (const exact::FrameRef& f : w.walk.frames) r->frames += f.stream == 0 ? 1 : 0;
  r->seconds = double(r->frames) * w.walk.SecondsPerFrame();
  for (std::size_t s = 1; s < w.walk.streams.size(); ++s) {
    auto track = std::make_unique<qm_result>();
    track->code = QM_REPAIRED;
    track->method = r->method;
    track->input = r->input;
    track->track = std::uint32_t(s + 1);
    TakeStream(w.walk.streams[s], track.get());
    for (const exact::FrameRef& f : w.walk.frames) track->frames += f.stream == s ? 1 : 0;
    track->seconds = double(track->frames) * w.walk.SecondsPerFrame(s);
    r->tracks.push_back(std::move(track));
  }
  if (double seconds = 0; w.walk.container.moov && w.walk.damage.empty() &&
                          w.walk.streams.size() == 1 &&
                          w.walk.container.indexedFrames == w.walk.frames.size() &&
                          PlaysAlready(q.input, w.walk.frames.size(), &seconds)) {
    r->code = QM_NOT_DAMAGED;
    r->message = "not damaged: plays already (" + SecondsText(seconds) + ")";
    return r->code;
  }
  r->code = QM_REPAIRED;
  r->message = std::to_string(w.walk.frames.size()) + " frames of audio found";
  RateHint(w.walk.streams.empty() ? exact::StreamParams{} : w.walk.streams[0], r);
  return r->code;
}

}  // namespace quillmend::api
