#pragma once
// The result object behind the public C API's handle.
#include <cstdint>
#include <string>
#include <vector>

#include "quillmend.h"

struct qm_result {
  qm_code code = QM_ERR_INTERNAL;
  qm_method method = QM_METHOD_EXACT;
  std::string input;
  std::string output;
  std::string message;
  std::string hint;
  std::uint64_t frames = 0;
  double seconds = 0;
  std::uint32_t rate = 0;
  bool rateAssumed = false;
  std::string rateSource;      // "option", "sample", "header", "sibling", "frames", "assumed"
  std::string rateConfidence;  // "certain", "likely", "guess"
  std::string rateFile;        // the sample or sibling the rate came from
  std::string rateReason;      // plain words
  std::vector<std::uint32_t> rateAlternatives;  // other rates the frames fit, likeliest first
  std::uint32_t channels = 0;
  std::vector<qm_damage> damage;
  double lostSeconds = 0;
  // What the file looked like, for inspect and the JSON.
  std::string brand;
  bool moov = false;
  bool mdatFound = false;
  std::uint64_t indexedFrames = 0;
  std::uint64_t mediaBytes = 0;
  std::uint64_t silentFrames = 0;  // frames of silence standing in for lost stretches
  std::string json;                // made once the result is final
};

namespace quillmend::api {
// Fills result->json from the other fields.
void MakeJson(qm_result* result);
}  // namespace quillmend::api
