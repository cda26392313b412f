// The public C API: a thin shell over api/repair.h that turns a Status into a qm_code at the
// edge and lets no exception out.
extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cctype>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "core/log_sink.h"
#include "io/env.h"
#include "paths.h"
#include "quillmend.h"
#include "read_back.h"
#include "repair.h"
#include "repair/sdk_methods.h"
#include "result.h"
#include "words.h"

namespace quillmend::api {
namespace {

constexpr char kVersion[] = "1.0.0.25 (4f7fc416)";

template <typename Body>
qm_code Guarded(qm_result* r, Body&& body) {
  try {
    return body();
  } catch (const std::range_error&) {
    return Fail(r, Status::Failed(Status::Code::kArgument, "a path is not valid UTF-8"));
  } catch (const std::bad_alloc&) {
    return Fail(r, Status::Failed(Status::Code::kInternal, "out of memory"));
  } catch (const std::exception& e) {
    return Fail(r,
                Status::Failed(Status::Code::kInternal, std::string("internal error: ") + e.what(),
                               "please report this file"));
  } catch (...) {
    return Fail(
        r, Status::Failed(Status::Code::kInternal, "internal error", "please report this file"));
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

// Runs a call of the API: reads its request, and logs a failure once.
template <typename Body>
qm_code Call(const char* what, const char* input, const char* output, const qm_options* options,
             qm_result** result, Body&& body) {
  std::unique_ptr<qm_result> r(new (std::nothrow) qm_result);
  if (r == nullptr) return QM_ERR_INTERNAL;
  Guarded(r.get(), [&] {
    r->input = input != nullptr ? input : "";
    Request q;
    const Status read = ReadRequest(input, output, options, &q);
    r->method = q.options.method;
    if (!read.ok()) return Fail(r.get(), read);
    LogInfo("%s (%s): %s", what, qm_method_name(q.options.method), q.input.c_str());
    const qm_code code = body(q, r.get());
    if (code != QM_REPAIRED && code != QM_NOT_DAMAGED) {
      LogError(">>[!] %s: %s", q.input.c_str(), r->message.c_str());
    }
    return code;
  });
  return Finish(std::move(r), result);
}

const qm_result* TrackResult(const qm_result* r, std::size_t i) {
  if (r == nullptr) return nullptr;
  if (i == 0) return r;
  return i <= r->tracks.size() ? r->tracks[i - 1].get() : nullptr;
}

}  // namespace
}  // namespace quillmend::api

using namespace quillmend::api;
using quillmend::Status;

extern "C" {

QM_API void qm_options_init(qm_options* options) {
  if (options == nullptr) return;
  *options = qm_options{};
  options->size = sizeof(qm_options);
  options->method = QM_METHOD_EXACT;
}

QM_API qm_code qm_repair(const char* damagedPath, const char* outputPath, const qm_options* options,
                         qm_result** result) {
  return Call(
      "repair", damagedPath, outputPath, options, result, [&](const Request& q, qm_result* r) {
        if (outputPath == nullptr || *outputPath == '\0') {
          return Fail(r, Status::Failed(Status::Code::kArgument, "no output file was given"));
        }
        return Repair(q, r);
      });
}

QM_API qm_code qm_inspect(const char* path, const qm_options* options, qm_result** result) {
  return Call("inspect", path, nullptr, options, result,
              [](const Request& q, qm_result* r) { return Inspect(q, r); });
}

QM_API qm_code qm_change_rate(const char* repairedPath, uint32_t rate, const char* outputPath,
                              const qm_options* options, qm_result** result) {
  return Call(
      "change rate", repairedPath, outputPath, options, result,
      [&](const Request& q, qm_result* r) {
        if (outputPath == nullptr || *outputPath == '\0') {
          return Fail(r, Status::Failed(Status::Code::kArgument, "no output file was given"));
        }
        if (!qm_rate_is_valid(rate)) {
          return Fail(r, Status::Failed(Status::Code::kArgument, "no recording has the rate " +
                                                                     std::to_string(rate) + " Hz"));
        }
        return ChangeRate(q, rate, r);
      });
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
QM_API uint64_t qm_result_glitches(const qm_result* r) { return r ? r->glitches : 0; }
QM_API const char* qm_result_rate_source(const qm_result* r) {
  return r ? r->rateSource.c_str() : "";
}
QM_API const char* qm_result_rate_confidence(const qm_result* r) {
  return r ? r->rateConfidence.c_str() : "";
}
QM_API const char* qm_result_rate_file(const qm_result* r) { return r ? r->rateFile.c_str() : ""; }
QM_API const char* qm_result_rate_reason(const qm_result* r) {
  return r ? r->rateReason.c_str() : "";
}
QM_API size_t qm_result_rate_alternatives(const qm_result* r, uint32_t* rates, size_t capacity) {
  if (r == nullptr) return 0;
  for (size_t i = 0; rates != nullptr && i < capacity && i < r->rateAlternatives.size(); ++i) {
    rates[i] = r->rateAlternatives[i];
  }
  return r->rateAlternatives.size();
}
QM_API size_t qm_result_track_count(const qm_result* r) { return r ? 1 + r->tracks.size() : 0; }
QM_API const qm_result* qm_result_track(const qm_result* r, size_t i) { return TrackResult(r, i); }
QM_API uint32_t qm_result_track_number(const qm_result* r) { return r ? r->track : 0; }
QM_API int qm_result_container(const qm_result* r, qm_container* c) {
  if (r == nullptr || c == nullptr) return -1;
  c->brand = r->brand.c_str();
  c->index = r->index.c_str();
  c->mdat = r->mdatFound ? 1 : 0;
  c->fragmented = r->fragmented ? 1 : 0;
  c->video = r->video ? 1 : 0;
  c->indexed_frames = r->indexedFrames;
  c->media_bytes = r->mediaBytes;
  c->track_count = r->containerTracks.size();
  return 0;
}
QM_API const char* qm_result_container_track(const qm_result* r, size_t i) {
  return r != nullptr && i < r->containerTracks.size() ? r->containerTracks[i].c_str() : "";
}
QM_API size_t qm_result_suggestions(const qm_result* r, qm_suggestion* out, size_t capacity) {
  if (r == nullptr) return 0;
  for (size_t i = 0; out != nullptr && i < capacity && i < r->suggestions.size(); ++i) {
    out[i] = r->suggestions[i];
  }
  return r->suggestions.size();
}
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
    quillmend::FileInfo info;
    quillmend::CurrentEnv()->Stat(ToPath(directory), &info);
    if (info.kind != quillmend::FileInfo::Kind::kDirectory) return -1;
    return quillmend::InitLog(directory, &owner) == quillmend::kOk ? 0 : -1;
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
    case QM_ERR_NEEDS_SAMPLE:
      return "needs-sample";
  }
  return "unknown";
}

QM_API const char* qm_method_name(qm_method method) {
  switch (method) {
    case QM_METHOD_GENERAL:
      return "general";
    case QM_METHOD_ADVANCED:
      return "advanced";
    case QM_METHOD_EXACT:
      break;
  }
  return "exact";
}

QM_API int qm_method_from_name(const char* name, qm_method* method) {
  if (name == nullptr || method == nullptr) return -1;
  std::string text(name);
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (const qm_method m : {QM_METHOD_EXACT, QM_METHOD_GENERAL, QM_METHOD_ADVANCED}) {
    if (text == qm_method_name(m)) {
      *method = m;
      return 0;
    }
  }
  return -1;
}

QM_API int qm_rate_is_valid(uint32_t rate) {
  const auto rates = ValidRates();
  return std::find(rates.begin(), rates.end(), rate) != rates.end() ? 1 : 0;
}

}  // extern "C"
