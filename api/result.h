#pragma once
// The result object behind the public C API's handle.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/status.h"
#include "quillmend.h"

struct qm_result {
  qm_code code = QM_ERR_INTERNAL;
  qm_method method = QM_METHOD_EXACT;
  std::string input;
  std::string output;
  std::string message;
  std::string hint;
  std::vector<qm_suggestion> suggestions;
  std::uint32_t track = 1;  // the track's number in the file
  std::uint64_t frames = 0;
  double seconds = 0;
  std::uint64_t glitches = 0;
  std::uint32_t rate = 0;
  bool rateAssumed = false;
  std::string rateSource;      // "option", "sample", "header", "sibling", "frames", "assumed"
  std::string rateConfidence;  // "certain", "likely", "guess"
  std::string rateFile;        // the sample or sibling the rate came from
  std::string rateReason;      // plain words
  std::vector<std::uint32_t> rateAlternatives;  // other rates the frames fit, likeliest first
  std::uint32_t channels = 0;
  std::string codec;  // "aac", "he-aac", "alac", ...
  std::vector<qm_damage> damage;
  double lostSeconds = 0;
  std::uint64_t silentFrames = 0;  // frames of silence standing in for lost stretches
  // What the file looked like, for inspect and the JSON.
  std::string brand;
  std::string index;  // "whole", "cut", "remains", ""
  bool moov = false;
  bool mdatFound = false;
  bool fragmented = false;
  bool video = false;
  std::uint64_t indexedFrames = 0;
  std::uint64_t mediaBytes = 0;
  std::vector<std::string> containerTracks;
  // The healthy recordings beside the file that were looked at for the rate.
  std::uint32_t siblingsLooked = 0;
  double siblingsSeconds = 0;
  // Further sound tracks, each a result of its own (track 2, 3, ...).
  std::vector<std::unique_ptr<qm_result>> tracks;
  std::string json;  // made once the result is final
};

namespace quillmend::api {

// Makes the result a failure with the status's words; returns its code.
qm_code Fail(qm_result* result, const Status& status, std::vector<qm_suggestion> suggestions = {});
qm_code CodeOf(Status::Code code);
// Fills result->json from the other fields.
void MakeJson(qm_result* result);

}  // namespace quillmend::api
