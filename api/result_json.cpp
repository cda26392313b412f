#include <nlohmann/json.hpp>

#include "result.h"

namespace quillmend::api {

void MakeJson(qm_result* r) {
  nlohmann::ordered_json j;
  j["input"] = r->input;
  j["code"] = qm_code_name(r->code);
  j["repaired"] = r->code == QM_REPAIRED && !r->output.empty();
  j["message"] = r->message;
  j["hint"] = r->hint;
  j["method"] = r->method == QM_METHOD_EXACT     ? "exact"
                : r->method == QM_METHOD_GENERAL ? "general"
                                                 : "advanced";
  j["output"] = r->output;
  j["frames"] = r->frames;
  j["seconds"] = r->seconds;
  j["rate"] = r->rate;
  j["rate_assumed"] = r->rateAssumed;
  j["rate_source"] = r->rateSource;
  j["rate_confidence"] = r->rateConfidence;
  j["rate_file"] = r->rateFile;
  j["rate_reason"] = r->rateReason;
  j["rate_alternatives"] = r->rateAlternatives;
  j["channels"] = r->channels;
  nlohmann::ordered_json stretches = nlohmann::ordered_json::array();
  for (const qm_damage& d : r->damage) {
    stretches.push_back({{"offset", d.offset},
                         {"length", d.length},
                         {"at_seconds", d.at_seconds},
                         {"lost_seconds", d.lost_seconds}});
  }
  j["damaged_stretches"] = std::move(stretches);
  j["lost_seconds"] = r->lostSeconds;
  j["silent_frames"] = r->silentFrames;
  j["container"] = {{"brand", r->brand},
                    {"moov", r->moov},
                    {"indexed_frames", r->indexedFrames},
                    {"mdat", r->mdatFound},
                    {"media_bytes", r->mediaBytes}};
  // Names from the file system may hold bytes that are not UTF-8; they must not break the JSON.
  r->json = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quillmend::api
