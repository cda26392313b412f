// The public C API: one repair per call, checked before it is called a repair.
extern "C" {
#include <libavutil/log.h>
}

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "core/log_sink.h"
#include "io/cancel.h"
#include "io/env.h"
#include "io/mapped_file.h"
#include "io/native_path.h"
#include "io/utf8.h"
#include "mp4/container.h"
#include "quillmend.h"
#include "quillmend_sdk.h"
#include "read_back.h"
#include "repair/exact_repair.h"
#include "result.h"
#include "work_lock.h"

namespace quillmend::api {
namespace {

namespace fs = std::filesystem;

constexpr char kVersion[] = "1.0.0.25 (4f7fc416)";
constexpr char kWorkPrefix[] = ".quillmend-";
constexpr char kWorkOutput[] = "repaired.m4a";
constexpr char kWorkLock[] = ".lock";
// Everything a work directory can hold: the output, the lock and the SDK's intermediate files.
constexpr const char* kWorkFiles[] = {kWorkOutput, kWorkLock, "tmp.adts", "tmp.pcm"};
// The advanced repair's decoded audio is about eleven times the size of its AAC input.
constexpr std::uint64_t kAdvancedSpaceFactor = 11;

// A path from the caller (UTF-8) as the platform wants it.
fs::path ToPath(const std::string& utf8) { return NativePath(Utf8ToWide(utf8)); }
std::string ToUtf8(const fs::path& path) { return NativePathToUtf8(path); }

std::string FileName(const std::string& utf8) { return ToUtf8(ToPath(utf8).filename()); }

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", s);
  return text;
}

qm_code Fail(qm_result* r, qm_code code, std::string message, std::string hint = {}) {
  r->code = code;
  r->message = std::move(message);
  r->hint = std::move(hint);
  r->output.clear();
  return code;
}

// The operating system's own reason why a file cannot be read, or "" when it can.
std::string WhyUnreadable(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) return error.message();
  if (fs::is_directory(status)) return std::make_error_code(std::errc::is_a_directory).message();
  if (!fs::is_regular_file(status)) return "not a regular file";
  if (fs::file_size(path, error) == 0 && !error) return "empty file";
  errno = 0;
  if (std::ifstream(path, std::ios::binary).is_open()) return {};
  return errno != 0 ? std::generic_category().message(errno) : "cannot be opened";
}

// Removes what a repair makes in its work directory, and the directory when that leaves it
// empty. Anything else in it stays, and so does the directory.
void RemoveWork(const fs::path& dir) {
  for (const char* name : kWorkFiles) CurrentEnv()->Remove(dir / name);
  CurrentEnv()->Remove(dir);
}

// A private directory inside the output's directory, removed with what the repair made in it.
// A repair that was killed cannot remove its own: the next repair into the same directory does.
class Workspace {
 public:
  std::error_code Make(const fs::path& outputDirectory) {
    RemoveAbandoned(outputDirectory);
    if (const std::error_code e =
            CurrentEnv()->MakePrivateDirectory(outputDirectory, kWorkPrefix, &dir_)) {
      return e;
    }
    if (!lock_.Hold(dir_ / kWorkLock)) return std::make_error_code(std::errc::io_error);
    return {};
  }
  ~Workspace() {
    lock_.Release();
    if (!dir_.empty()) RemoveWork(dir_);
  }
  fs::path File(const char* name) const { return dir_ / name; }

 private:
  static void RemoveAbandoned(const fs::path& directory) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
      const std::string name = ToUtf8(entry.path().filename());
      if (name.rfind(kWorkPrefix, 0) == 0 && entry.is_directory(error) &&
          !entry.is_symlink(error) && WorkLock::Abandoned(entry.path() / kWorkLock)) {
        LogInfo("removing what an interrupted repair left: %s", ToUtf8(entry.path()).c_str());
        RemoveWork(entry.path());
      }
    }
  }

  fs::path dir_;
  WorkLock lock_;
};

struct Progress {
  const qm_options* options;
  std::atomic<bool> stopped{false};
  bool Report(double fraction) {
    if (options->progress != nullptr && options->progress(options->progress_user, fraction) != 0) {
      stopped = true;
    }
    return stopped;
  }
  static bool Ask(void* self) { return static_cast<Progress*>(self)->Report(-1); }
};

// Plain words for the SDK's codes.
std::string SdkFailure(std::int32_t code, qm_method method) {
  // The general repair has no sample: its media failures are the frames it cut out.
  if (code == ORVM4A_ERR_MEDIA && method == QM_METHOD_GENERAL) {
    return "the frames it cut out do not make a file: the recorder's frame heads are not the "
           "usual ones";
  }
  switch (code) {
    case ORVM4A_ERR_MAP:
      return "the damaged file cannot be read";
    case ORVM4A_ERR_NOT_M4A:
      return "the file's header names another format than M4A";
    case ORVM4A_ERR_NO_MDAT:
      return "no media data (mdat) was found in the file";
    case ORVM4A_ERR_NO_SAMPLE_TABLE:
      return "the sample lacks its sample tables";
    case ORVM4A_ERR_MEDIA:
      return "the sample cannot be decoded, or the output cannot be written";
    case ORVM4A_ERR_TRANSCODER:
      return "the ffmpeg tool beside the program could not be started";
    case ORVM4A_ERR_INTERMEDIATE:
      return "an intermediate file could not be written";
    case ORVM4A_ERR_TOO_LARGE:
      return "the file is too large for this method";
    case ORVM4A_ERR_TRANSCODER_ARGS:
      return "a path cannot be handed to the ffmpeg tool";
    default:
      return "it failed with code " + std::to_string(code);
  }
}

const char* MethodName(qm_method method) {
  switch (method) {
    case QM_METHOD_GENERAL:
      return "general";
    case QM_METHOD_ADVANCED:
      return "advanced";
    default:
      return "exact";
  }
}

void TakeWalk(const exact::WalkResult& walk, qm_result* r) {
  const exact::StreamParams params = walk.streams.empty() ? exact::StreamParams{} : walk.streams[0];
  r->rate = params.rate;
  r->rateAssumed = params.rate != 0 && params.rateAssumed();
  r->rateSource = params.rate != 0 ? exact::RateSourceName(params.rateChoice.source) : "";
  r->rateConfidence = params.rate != 0 ? exact::ConfidenceName(params.rateChoice.confidence) : "";
  r->rateFile = params.rateChoice.file;
  r->rateReason = params.rateChoice.reason;
  r->rateAlternatives = params.rateChoice.alternatives;
  r->channels = params.channels;
  r->brand = walk.container.brand;
  r->moov = walk.container.moov;
  r->mdatFound = walk.container.mdatFound;
  r->indexedFrames = walk.container.indexedFrames;
  r->mediaBytes = 0;
  for (const auto& [begin, end] : walk.container.mediaRegions) r->mediaBytes += end - begin;
  r->damage.clear();
  r->lostSeconds = 0;
  const double perFrame = walk.SecondsPerFrame();
  for (const exact::Stretch& s : walk.damage) {
    const double lost = s.estimatedFrames * perFrame;
    r->damage.push_back({s.offset, s.length, s.framesBefore * perFrame, lost});
    r->lostSeconds += lost;
  }
}

std::string Hz(std::uint32_t rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%g kHz", rate / 1000.0);
  return text;
}

std::string Channels(std::uint32_t channels) {
  return channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels";
}

// Everything a repair needs to know before it starts.
struct Request {
  std::string input, output, sample;
  fs::path inputPath, outputPath, samplePath;
  qm_options options;
};

qm_code CheckInputs(const Request& q, qm_result* r) {
  if (const std::string why = WhyUnreadable(q.inputPath); !why.empty()) {
    return Fail(r, QM_ERR_INPUT, "cannot read " + FileName(q.input) + ": " + why,
                why == "empty file" ? "" : "check the file's name and that you may read it");
  }
  if (!q.sample.empty()) {
    if (const std::string why = WhyUnreadable(q.samplePath); !why.empty()) {
      return Fail(r, QM_ERR_SAMPLE, "cannot read the sample " + FileName(q.sample) + ": " + why,
                  "give a healthy recording made by the same recorder");
    }
  }
  return QM_REPAIRED;
}

qm_code CheckOutput(const Request& q, qm_result* r) {
  std::error_code error;
  const fs::path directory = q.outputPath.parent_path();
  if (!fs::is_directory(directory, error)) {
    return Fail(r, QM_ERR_OUTPUT, "cannot write " + q.output + ": its folder does not exist",
                "create the folder first, or choose another output");
  }
  for (const fs::path& in : {q.inputPath, q.samplePath}) {
    if (!in.empty() && fs::equivalent(in, q.outputPath, error)) {
      return Fail(r, QM_ERR_OUTPUT, "the output would replace an input file: " + q.output,
                  "choose another output name");
    }
  }
  if (fs::symlink_status(q.outputPath, error).type() != fs::file_type::not_found &&
      !q.options.overwrite) {
    return Fail(r, QM_ERR_OUTPUT_EXISTS, q.output + " exists already",
                "choose another name, or allow replacing it (--force)");
  }
  return QM_REPAIRED;
}

// Lets the mapped file's pages go behind a walk or a write over it.
exact::PassedFn PagesOf(const MappedFile& file) {
  return [&file](std::uint64_t begin, std::uint64_t end) { file.ReleasePages(begin, end); };
}

// Maps a file and walks it; the shared first step of inspect and every repair.
struct Walked {
  std::unique_ptr<MappedFile> file;
  exact::WalkResult walk;
  exact::WalkStatus status = exact::WalkStatus::kNoAudio;
};

qm_code WalkInput(const Request& q, Progress& progress, double share, Walked* w, qm_result* r) {
  w->file = std::make_unique<MappedFile>(Utf8ToWide(q.input));
  if (w->file->Data() == nullptr) {
    return Fail(r, QM_ERR_INPUT, "cannot read " + FileName(q.input), "check that you may read it");
  }
  exact::WalkOptions options;
  options.rateHz = q.options.rate_hz;
  options.progress = [&](double f) { return progress.Report(f * share); };
  options.passed = PagesOf(*w->file);
  if (!q.sample.empty()) {
    MappedFile sample(Utf8ToWide(q.sample));
    exact::Reference reference;
    reference.name = FileName(q.sample);
    if (sample.Data() != nullptr) reference.layout = ReadContainer(sample.Data(), sample.Size());
    bool readable = false;
    for (const Track& t : reference.layout.tracks)
      readable = readable || !t.entry.audioConfig.empty();
    if (readable || !reference.layout.audioConfig.empty()) options.sample = std::move(reference);
    if (!options.sample) {
      return Fail(r, QM_ERR_SAMPLE,
                  "the sample " + FileName(q.sample) + " holds no readable AAC track",
                  "give a healthy recording made by the same recorder, or leave the sample out");
    }
  }
  w->status = exact::Walk(w->file->Data(), w->file->Size(), options, &w->walk);
  TakeWalk(w->walk, r);
  switch (w->status) {
    case exact::WalkStatus::kStopped:
      return Fail(r, QM_ERR_CANCELLED, "cancelled; nothing was written");
    case exact::WalkStatus::kRateMismatch:
    case exact::WalkStatus::kTracksNeedSample:
    case exact::WalkStatus::kSampleMismatch:
      return Fail(r, QM_ERR_MISMATCH,
                  "the sample " + FileName(q.sample) +
                      " was recorded with other settings than the damaged file (its frames are " +
                      Channels(w->walk.fittingChannels) + ", " +
                      (w->walk.fittingRates.empty()
                           ? std::string("at an unknown rate")
                           : Hz(w->walk.fittingRates[0]) + " or a rate sharing its bands") +
                      ")",
                  "give a recording made with the same settings, or leave the sample out");
    case exact::WalkStatus::kNoAudio:
      return Fail(r, QM_ERR_NO_AUDIO, "no AAC audio was found in " + FileName(q.input),
                  "the file may not be an AAC recording at all, or its audio may be encrypted or "
                  "overwritten");
    case exact::WalkStatus::kOk:
      break;
  }
  return QM_REPAIRED;
}

// A file that FFmpeg plays as it is and whose every byte of media data is a frame the index
// lists is not damaged; a "repair" could only make it worse.
bool PlaysAlready(const Request& q, const Walked& w, double* seconds) {
  const auto& c = w.walk.container;
  if (!c.moov || !w.walk.damage.empty() || c.indexedFrames != w.walk.frames.size()) return false;
  const ReadBack back = ReadBackFile(q.input);
  *seconds = back.seconds;
  return back.hasAac && back.undecodable == 0 && back.packets == w.walk.frames.size();
}

// The output, read back, must hold what the repair found: the frames, their rate and channels,
// and audio that decodes.
qm_code Verify(const Request& q, const fs::path& written, std::uint64_t expectFrames,
               const Walked& w, qm_result* r) {
  const ReadBack back = ReadBackFile(ToUtf8(written));
  r->frames = back.packets;
  r->seconds = back.seconds;
  if (!back.hasAac) {
    return Fail(r, QM_ERR_CHECK, "the repaired file does not open: " + back.error,
                "try another method");
  }
  const exact::StreamParams params =
      w.walk.streams.empty() ? exact::StreamParams{} : w.walk.streams[0];
  const std::uint32_t expectRate = params.rate;
  if (q.options.method == QM_METHOD_EXACT) {
    if (back.packets != expectFrames || back.channels != params.channels ||
        back.rate != expectRate || back.undecodable > 0) {
      LogError(">>[!] Read back %s: %d frames, %d Hz, %d channels, %d undecodable",
               ToUtf8(written).c_str(), int(back.packets), int(back.rate), int(back.channels),
               int(back.undecodable));
      return Fail(r, QM_ERR_CHECK, "the repaired file, read back, does not hold the audio found",
                  "please report this file");
    }
    return QM_REPAIRED;
  }
  // The SDK's methods write what they write (the advanced one always stereo): the result tells
  // what the file holds, and is compared with what the frames say.
  r->rate = back.rate;
  r->channels = back.channels;
  const std::uint64_t found = w.walk.frames.size();
  if (back.decoded > 0 && back.undecodable * 20 > back.decoded) {
    return Fail(r, QM_ERR_CHECK,
                std::to_string(back.undecodable) + " of the " +
                    std::to_string(back.decoded + back.undecodable) +
                    " frames tried do not decode: what came back is mostly noise",
                "use the exact repair (--method exact)");
  }
  if (q.options.method == QM_METHOD_GENERAL && found > 0) {
    if (back.packets * 10 < found * 9) {
      return Fail(r, QM_ERR_CHECK,
                  "only " + std::to_string(back.packets) + " of " + std::to_string(found) +
                      " frames recognised: the recorder's frame heads are not the usual ones",
                  "use the exact repair (--method exact), or --sample");
    }
    if (params.rate != 0 && !params.rateAssumed() && back.rate != expectRate) {
      return Fail(r, QM_ERR_CHECK,
                  "the general repair wrote " + Hz(back.rate) + " " + Channels(back.channels) +
                      ", but the recording is " + Hz(expectRate) + " " + Channels(params.channels) +
                      ": it would play at the wrong pitch",
                  "use the exact repair (--method exact)");
    }
  }
  if (q.options.method == QM_METHOD_ADVANCED && found > 0) {
    const double expected = found * w.walk.SecondsPerFrame();
    if (back.seconds < expected * 0.9) {
      return Fail(r, QM_ERR_CHECK,
                  "the output holds " + Seconds(back.seconds) + " of the " + Seconds(expected) +
                      " found: the ffmpeg tool stopped part-way",
                  "try again, or use the exact repair (--method exact)");
    }
  }
  if (back.packets == 0) {
    return Fail(r, QM_ERR_CHECK, "the repaired file holds no audio", "try another method");
  }
  return QM_REPAIRED;
}

qm_code RunSdkMethod(const Request& q, const fs::path& out, const Walked& w, qm_result* r) {
  const std::string outUtf8 = ToUtf8(out);
  std::int32_t code;
  if (q.options.method == QM_METHOD_GENERAL) {
    code = OrvM4aGeneralRepair(q.input.c_str(), outUtf8.c_str());
  } else {
    if (q.sample.empty()) {
      return Fail(r, QM_ERR_ARGUMENT, "the advanced repair needs a healthy sample recording",
                  "give one with --sample, or use the exact repair");
    }
    std::error_code error;
    const fs::space_info space = fs::space(out.parent_path(), error);
    const std::uint64_t needed = w.file->Size() * kAdvancedSpaceFactor;
    if (!error && space.available < needed) {
      return Fail(r, QM_ERR_NO_SPACE,
                  "not enough space on " + ToUtf8(q.outputPath.parent_path()) +
                      ": the advanced repair needs about " + std::to_string(needed >> 20) +
                      " MB, " + std::to_string(space.available >> 20) + " MB are free",
                  "free some space, or write the output to another disk");
    }
    code = OrvM4aAdvanceRepair(q.input.c_str(), q.sample.c_str(), outUtf8.c_str());
  }
  if (code == ORVM4A_OK) return QM_REPAIRED;
  std::error_code error;
  const fs::space_info space = fs::space(out.parent_path(), error);
  if (!error && space.available < (std::uint64_t{1} << 20)) {
    return Fail(r, QM_ERR_NO_SPACE, "not enough space on " + ToUtf8(q.outputPath.parent_path()),
                "free some space, or write the output to another disk");
  }
  if (code == ORVM4A_ERR_MAP) {
    return Fail(r, QM_ERR_INPUT, "cannot read " + FileName(q.input), "check that you may read it");
  }
  if ((code == ORVM4A_ERR_NOT_M4A || code == ORVM4A_ERR_NO_MDAT) &&
      w.status == exact::WalkStatus::kNoAudio) {
    return Fail(r, QM_ERR_NO_AUDIO,
                "no AAC audio was found in " + FileName(q.input) + ": " +
                    SdkFailure(code, q.options.method),
                "the file may not be an AAC recording at all, or its audio may be overwritten");
  }
  if (code == ORVM4A_ERR_TRANSCODER) {
    return Fail(r, QM_ERR_TRANSCODER, "the ffmpeg tool beside the program could not be started",
                "install ffmpeg beside quillmend, or use the exact repair");
  }
  return Fail(r, QM_ERR_OUTPUT,
              std::string("the ") + MethodName(q.options.method) +
                  " repair failed: " + SdkFailure(code, q.options.method),
              "use the exact repair (--method exact); the log says more");
}

qm_code Repair(Request& q, qm_result* r) {
  Progress progress{&q.options};
  if (const qm_code c = CheckInputs(q, r); c != QM_REPAIRED) return c;
  if (const qm_code c = CheckOutput(q, r); c != QM_REPAIRED) return c;

  Walked w;
  const double walkShare = q.options.method == QM_METHOD_EXACT ? 0.5 : 0.1;
  if (const qm_code c = WalkInput(q, progress, walkShare, &w, r);
      c != QM_REPAIRED && !(c == QM_ERR_NO_AUDIO && q.options.method != QM_METHOD_EXACT)) {
    return c;
  }
  if (double seconds = 0; w.status == exact::WalkStatus::kOk && PlaysAlready(q, w, &seconds)) {
    r->code = QM_NOT_DAMAGED;
    r->seconds = seconds;
    r->frames = w.walk.frames.size();
    r->message = "not damaged: plays already (" + Seconds(seconds) + ")";
    r->hint = "nothing was written";
    return r->code;
  }

  Workspace workspace;
  if (const std::error_code e = workspace.Make(q.outputPath.parent_path())) {
    return Fail(r, QM_ERR_OUTPUT,
                "cannot write into " + ToUtf8(q.outputPath.parent_path()) + ": " + e.message(),
                "choose another output folder");
  }
  const fs::path written = workspace.File(kWorkOutput);
  std::uint64_t expectFrames = 0;
  {
    ScopedStopQuestion stop(&Progress::Ask, &progress);
    if (q.options.method == QM_METHOD_EXACT) {
      const std::string error = exact::WriteM4a(
          w.file->Data(), w.walk, 0, q.options.keep_timing != 0, written, &expectFrames,
          [&](double f) { return progress.Report(walkShare + f * (0.9 - walkShare)); },
          PagesOf(*w.file));
      if (progress.stopped) return Fail(r, QM_ERR_CANCELLED, "cancelled; nothing was written");
      if (!error.empty()) {
        std::error_code e;
        const fs::space_info space = fs::space(q.outputPath.parent_path(), e);
        if (!e && space.available < (std::uint64_t{1} << 20)) {
          return Fail(r, QM_ERR_NO_SPACE,
                      "not enough space on " + ToUtf8(q.outputPath.parent_path()),
                      "free some space, or write the output to another disk");
        }
        return Fail(r, QM_ERR_OUTPUT, "cannot write the repaired file: " + error,
                    "choose another output folder");
      }
      r->silentFrames = expectFrames - w.walk.frames.size();
    } else if (const qm_code c = RunSdkMethod(q, written, w, r); c != QM_REPAIRED) {
      if (progress.stopped) return Fail(r, QM_ERR_CANCELLED, "cancelled; nothing was written");
      return c;
    }
  }
  if (progress.Report(0.9)) return Fail(r, QM_ERR_CANCELLED, "cancelled; nothing was written");
  if (const qm_code c = Verify(q, written, expectFrames, w, r); c != QM_REPAIRED) return c;
  if (const std::error_code e =
          CurrentEnv()->Rename(written, q.outputPath, q.options.overwrite != 0)) {
    if (e == std::errc::file_exists) {
      return Fail(r, QM_ERR_OUTPUT_EXISTS, q.output + " appeared while the repair ran",
                  "choose another name, or allow replacing it (--force)");
    }
    return Fail(r, QM_ERR_OUTPUT, "cannot put the repaired file in place: " + e.message(),
                "choose another output folder");
  }
  progress.Report(1.0);
  r->code = QM_REPAIRED;
  r->output = q.output;
  r->message = "repaired";
  r->hint.clear();
  LogInfo("repaired %s into %s", q.input.c_str(), q.output.c_str());
  return r->code;
}

// A path from the caller, made absolute: the SDK's repairs put their intermediate files beside
// the output, and a bare name would send them to the root directory.
std::string Absolute(const char* path) {
  if (path == nullptr || *path == '\0') return {};
  return ToUtf8(fs::absolute(ToPath(path)));
}

template <typename Body>
qm_code Guarded(qm_result* r, Body&& body) {
  try {
    return body();
  } catch (const std::range_error&) {
    return Fail(r, QM_ERR_ARGUMENT, "a path is not valid UTF-8");
  } catch (const std::bad_alloc&) {
    return Fail(r, QM_ERR_INTERNAL, "out of memory");
  } catch (const std::exception& e) {
    return Fail(r, QM_ERR_INTERNAL, std::string("internal error: ") + e.what(),
                "please report this file");
  } catch (...) {
    return Fail(r, QM_ERR_INTERNAL, "internal error", "please report this file");
  }
}

qm_code Finish(std::unique_ptr<qm_result> r, qm_result** out) {
  const qm_code code = r->code;
  if (out != nullptr) {
    try {
      MakeJson(r.get());
    } catch (...) {
      r->json = "{}";
    }
    *out = r.release();
  }
  return code;
}

bool ReadRequest(const char* damaged, const char* output, const qm_options* options, Request* q,
                 qm_result* r) {
  qm_options_init(&q->options);
  if (options != nullptr) {
    if (options->size < sizeof(qm_options)) {
      Fail(r, QM_ERR_ARGUMENT, "the options were made for another version of the library");
      return false;
    }
    q->options = *options;
  }
  r->method = q->options.method;
  if (damaged == nullptr || *damaged == '\0') {
    Fail(r, QM_ERR_ARGUMENT, "no damaged file was given");
    return false;
  }
  if (q->options.method < QM_METHOD_EXACT || q->options.method > QM_METHOD_ADVANCED ||
      (q->options.rate_hz != 0 && aac::SamplingIndexFromRate(int(q->options.rate_hz)) < 0)) {
    Fail(r, QM_ERR_ARGUMENT, "an option is out of range (the method or the rate)",
         "rates: 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, "
         "96000");
    return false;
  }
  q->input = Absolute(damaged);
  q->inputPath = ToPath(q->input);
  r->input = damaged;
  if (output != nullptr) {
    q->output = Absolute(output);
    q->outputPath = ToPath(q->output);
  }
  if (q->options.sample_path != nullptr && *q->options.sample_path != '\0') {
    q->sample = Absolute(q->options.sample_path);
    q->samplePath = ToPath(q->sample);
  }
  return true;
}

}  // namespace
}  // namespace quillmend::api

using namespace quillmend::api;

extern "C" {

QM_API void qm_options_init(qm_options* options) {
  if (options == nullptr) return;
  *options = qm_options{};
  options->size = sizeof(qm_options);
  options->method = QM_METHOD_EXACT;
}

QM_API qm_code qm_repair(const char* damagedPath, const char* outputPath, const qm_options* options,
                         qm_result** result) {
  std::unique_ptr<qm_result> r(new (std::nothrow) qm_result);
  if (r == nullptr) return QM_ERR_INTERNAL;
  Guarded(r.get(), [&] {
    Request q;
    if (!ReadRequest(damagedPath, outputPath, options, &q, r.get())) return r->code;
    if (outputPath == nullptr || *outputPath == '\0') {
      return Fail(r.get(), QM_ERR_ARGUMENT, "no output file was given");
    }
    quillmend::LogInfo("repair (%s): %s", MethodName(q.options.method), q.input.c_str());
    const qm_code code = Repair(q, r.get());
    if (code != QM_REPAIRED && code != QM_NOT_DAMAGED) {
      quillmend::LogError(">>[!] %s: %s", q.input.c_str(), r->message.c_str());
    }
    return code;
  });
  return Finish(std::move(r), result);
}

QM_API qm_code qm_inspect(const char* path, const qm_options* options, qm_result** result) {
  std::unique_ptr<qm_result> r(new (std::nothrow) qm_result);
  if (r == nullptr) return QM_ERR_INTERNAL;
  Guarded(r.get(), [&] {
    Request q;
    if (!ReadRequest(path, nullptr, options, &q, r.get())) return r->code;
    if (const qm_code c = CheckInputs(q, r.get()); c != QM_REPAIRED) return c;
    Progress progress{&q.options};
    Walked w;
    if (const qm_code c = WalkInput(q, progress, 1.0, &w, r.get()); c != QM_REPAIRED) return c;
    r->frames = w.walk.frames.size();
    r->seconds = r->frames * w.walk.SecondsPerFrame();
    if (double seconds = 0; PlaysAlready(q, w, &seconds)) {
      r->code = QM_NOT_DAMAGED;
      r->message = "not damaged: plays already (" + Seconds(seconds) + ")";
      return r->code;
    }
    r->code = QM_REPAIRED;
    r->message = std::to_string(r->frames) + " frames of audio found";
    return r->code;
  });
  return Finish(std::move(r), result);
}

QM_API void qm_result_free(qm_result* result) { delete result; }

QM_API qm_code qm_result_code(const qm_result* r) { return r ? r->code : QM_ERR_ARGUMENT; }
QM_API qm_method qm_result_method(const qm_result* r) { return r ? r->method : QM_METHOD_EXACT; }
QM_API const char* qm_result_message(const qm_result* r) { return r ? r->message.c_str() : ""; }
QM_API const char* qm_result_hint(const qm_result* r) { return r ? r->hint.c_str() : ""; }
QM_API const char* qm_result_output(const qm_result* r) { return r ? r->output.c_str() : ""; }
QM_API uint64_t qm_result_frames(const qm_result* r) { return r ? r->frames : 0; }
QM_API double qm_result_seconds(const qm_result* r) { return r ? r->seconds : 0; }
QM_API uint32_t qm_result_rate(const qm_result* r) { return r ? r->rate : 0; }
QM_API int qm_result_rate_assumed(const qm_result* r) { return r && r->rateAssumed ? 1 : 0; }
QM_API uint32_t qm_result_channels(const qm_result* r) { return r ? r->channels : 0; }
QM_API size_t qm_result_damage_count(const qm_result* r) { return r ? r->damage.size() : 0; }
QM_API int qm_result_damage(const qm_result* r, size_t i, qm_damage* damage) {
  if (r == nullptr || damage == nullptr || i >= r->damage.size()) return -1;
  *damage = r->damage[i];
  return 0;
}
QM_API double qm_result_lost_seconds(const qm_result* r) { return r ? r->lostSeconds : 0; }
QM_API const char* qm_result_json(const qm_result* r) { return r ? r->json.c_str() : "{}"; }

QM_API int qm_waveform(const char* path, float* peaks, size_t count) {
  try {
    return path != nullptr && DecodePeaks(path, peaks, count) ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

QM_API int qm_set_log_directory(const char* directory) {
  static int owner;
  try {
    if (directory == nullptr) return -1;
    std::error_code error;
    if (!fs::is_directory(ToPath(directory), error)) return -1;
    return OrvM4aInit(directory, &owner) == ORVM4A_OK ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

QM_API void qm_quiet_ffmpeg_log(void) { av_log_set_level(AV_LOG_FATAL); }

QM_API const char* qm_version(void) { return kVersion; }

QM_API const char* qm_code_name(qm_code code) {
  switch (code) {
    case QM_REPAIRED:
      return "repaired";
    case QM_NOT_DAMAGED:
      return "not-damaged";
    case QM_ERR_ARGUMENT:
      return "argument";
    case QM_ERR_INPUT:
      return "input";
    case QM_ERR_SAMPLE:
      return "sample";
    case QM_ERR_MISMATCH:
      return "mismatch";
    case QM_ERR_NO_AUDIO:
      return "no-audio";
    case QM_ERR_OUTPUT_EXISTS:
      return "output-exists";
    case QM_ERR_OUTPUT:
      return "output";
    case QM_ERR_NO_SPACE:
      return "no-space";
    case QM_ERR_CHECK:
      return "check";
    case QM_ERR_TRANSCODER:
      return "transcoder";
    case QM_ERR_CANCELLED:
      return "cancelled";
    case QM_ERR_INTERNAL:
      return "internal";
  }
  return "unknown";
}

}  // extern "C"
