#include <nlohmann/json.hpp>

#include "result.h"

namespace quillmend::api {
namespace {

using Json = nlohmann::ordered_json;

const char* ActionName(qm_action action) {
  switch (action) {
    case QM_TRY_SAMPLE:
      return "sample";
    case QM_TRY_RATE:
      return "rate";
    case QM_TRY_METHOD:
      return "method";
    case QM_TRY_TRACK:
      return "track";
    case QM_TRY_OVERWRITE:
      return "overwrite";
    case QM_TRY_OUTPUT:
      return "output";
    case QM_TRY_FREE_SPACE:
      return "free-space";
  }
  return "";
}

// What one track of a repair holds.
Json TrackJson(const qm_result& r) {
  Json j;
  j["track"] = r.track;
  j["output"] = r.output;
  j["codec"] = r.codec;
  j["frames"] = r.frames;
  j["seconds"] = r.seconds;
  j["glitches"] = r.glitches;
  j["rate"] = r.rate;
  j["rate_assumed"] = r.rateAssumed;
  j["rate_source"] = r.rateSource;
  j["rate_confidence"] = r.rateConfidence;
  j["rate_file"] = r.rateFile;
  j["rate_reason"] = r.rateReason;
  j["rate_alternatives"] = r.rateAlternatives;
  j["channels"] = r.channels;
  return j;
}

}  // namespace

qm_code CodeOf(Status::Code code) {
  switch (code) {
    case Status::Code::kOk:
      return QM_REPAIRED;
    case Status::Code::kArgument:
      return QM_ERR_ARGUMENT;
    case Status::Code::kInput:
      return QM_ERR_INPUT;
    case Status::Code::kSample:
      return QM_ERR_SAMPLE;
    case Status::Code::kMismatch:
      return QM_ERR_MISMATCH;
    case Status::Code::kNoAudio:
      return QM_ERR_NO_AUDIO;
    case Status::Code::kNeedsSample:
      return QM_ERR_NEEDS_SAMPLE;
    case Status::Code::kOutputExists:
      return QM_ERR_OUTPUT_EXISTS;
    case Status::Code::kOutput:
      return QM_ERR_OUTPUT;
    case Status::Code::kNoSpace:
      return QM_ERR_NO_SPACE;
    case Status::Code::kCheck:
      return QM_ERR_CHECK;
    case Status::Code::kTranscoder:
      return QM_ERR_TRANSCODER;
    case Status::Code::kCancelled:
      return QM_ERR_CANCELLED;
    case Status::Code::kInternal:
      break;
  }
  return QM_ERR_INTERNAL;
}

qm_code Fail(qm_result* r, const Status& status, std::vector<qm_suggestion> suggestions) {
  r->code = CodeOf(status.code());
  r->message = status.message();
  r->hint = status.hint();
  r->suggestions = std::move(suggestions);
  r->output.clear();
  r->tracks.clear();
  return r->code;
}

void MakeJson(qm_result* r) {
  Json j;
  j["input"] = r->input;
  j["code"] = qm_code_name(r->code);
  j["repaired"] = r->code == QM_REPAIRED && !r->output.empty();
  j["message"] = r->message;
  j["hint"] = r->hint;
  Json suggestions = Json::array();
  for (const qm_suggestion& s : r->suggestions) {
    Json one{{"action", ActionName(s.action)}};
    if (s.action == QM_TRY_RATE) one["rate"] = s.value;
    if (s.action == QM_TRY_TRACK) one["track"] = s.value;
    if (s.action == QM_TRY_METHOD) one["method"] = qm_method_name(qm_method(s.value));
    suggestions.push_back(std::move(one));
  }
  j["suggestions"] = std::move(suggestions);
  j["method"] = qm_method_name(r->method);
  const Json first = TrackJson(*r);
  for (const auto& [key, value] : first.items()) j[key] = value;
  Json stretches = Json::array();
  for (const qm_damage& d : r->damage) {
    stretches.push_back({{"offset", d.offset},
                         {"length", d.length},
                         {"at_seconds", d.at_seconds},
                         {"lost_seconds", d.lost_seconds}});
  }
  j["damaged_stretches"] = std::move(stretches);
  j["lost_seconds"] = r->lostSeconds;
  j["silent_frames"] = r->silentFrames;
  j["video"] = r->video;
  Json tracks = Json::array();
  tracks.push_back(TrackJson(*r));
  for (const auto& t : r->tracks) tracks.push_back(TrackJson(*t));
  j["tracks"] = std::move(tracks);
  j["container"] = {{"brand", r->brand},
                    {"index", r->index},
                    {"moov", r->moov},
                    {"indexed_frames", r->indexedFrames},
                    {"mdat", r->mdatFound},
                    {"fragmented", r->fragmented},
                    {"media_bytes", r->mediaBytes},
                    {"tracks", r->containerTracks}};
  j["siblings"] = {{"looked_at", r->siblingsLooked}, {"seconds", r->siblingsSeconds}};
  // Names from the file system may hold bytes that are not UTF-8; they must not break the JSON.
  r->json = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quillmend::api
