#pragma once
// The library's words for a person: rates, lengths, and what a result says and suggests.
#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"
#include "core/words.h"
#include "repair/exact_repair.h"
#include "result.h"

namespace quillmend::api {

struct Request;

// The rates a recording can have, highest first.
std::vector<std::uint32_t> ValidRates();

// The hint and suggestions of a rate that is not certain: the runner-up, and how to get it.
void RateHint(const exact::StreamParams& stream, qm_result* result);
// The message of a repaired result and of each of its tracks.
void Describe(const Request& request, const exact::WalkResult& walk, qm_result* result);
// What to offer after a failure of the output's side.
std::vector<qm_suggestion> OutputSuggestions(const Status& status);

}  // namespace quillmend::api
