#include "words.h"

#include <cstdio>

#include "repair.h"

namespace quillmend::api {

std::vector<std::uint32_t> ValidRates() {
  return {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
}

void RateHint(const exact::StreamParams& p, qm_result* r) {
  if (p.rate == 0 || !p.rateAssumed()) return;
  const auto& alternatives = p.rateChoice.alternatives;
  std::string hint =
      "the file does not say its sampling rate; " + Hz(p.rate) +
      (p.rateChoice.source == exact::RateSource::kFrames ? " is likely" : " was assumed");
  if (!p.rateChoice.reason.empty()) hint += " (" + p.rateChoice.reason + ")";
  if (!alternatives.empty()) {
    hint += ". If it plays too fast or too slow, repair it again at " + RateList(alternatives);
  }
  hint += ", or give a healthy recording from the same recorder";
  r->hint = hint;
  for (const std::uint32_t rate : alternatives) r->suggestions.push_back({QM_TRY_RATE, rate});
  r->suggestions.push_back({QM_TRY_SAMPLE, 0});
}

void Describe(const Request& q, const exact::WalkResult& walk, qm_result* r) {
  for (std::size_t i = 0; i <= r->tracks.size(); ++i) {
    qm_result* t = i == 0 ? r : r->tracks[i - 1].get();
    t->code = QM_REPAIRED;
    std::string message = "repaired";
    if (walk.video) message += " (video: sound only)";
    if (t->glitches > 0) {
      message += ", with " + std::to_string(t->glitches) + " short glitch" +
                 (t->glitches == 1 ? "" : "es");
    }
    t->message = message;
    t->hint.clear();
    t->suggestions.clear();
    // The general repair writes its own fixed header: only the exact one takes the rate.
    if (q.options.method == QM_METHOD_EXACT && t->track - 1 < walk.streams.size()) {
      RateHint(walk.streams[t->track - 1], t);
    }
  }
}

std::vector<qm_suggestion> OutputSuggestions(const Status& status) {
  switch (status.code()) {
    case Status::Code::kOutputExists:
      return {{QM_TRY_OVERWRITE, 0}, {QM_TRY_OUTPUT, 0}};
    case Status::Code::kOutput:
      return {{QM_TRY_OUTPUT, 0}};
    case Status::Code::kNoSpace:
      return {{QM_TRY_FREE_SPACE, 0}, {QM_TRY_OUTPUT, 0}};
    case Status::Code::kCheck:
    case Status::Code::kTranscoder:
      return {{QM_TRY_METHOD, QM_METHOD_EXACT}};
    default:
      return {};
  }
}

}  // namespace quillmend::api
