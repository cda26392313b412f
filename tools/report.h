#pragma once
// Results in words for a person who lost a recording.
#include <string>

#include "quillmend.h"

namespace quillmend::tool {

// "29:56", "1:02:03"
std::string Duration(double seconds);
// "48 kHz stereo", "" when neither is known
std::string Format(std::uint32_t rate, std::uint32_t channels);
// "2 damaged stretches, about 1.4 s lost", "no damaged stretches"
std::string DamageSummary(const qm_result* result);

// The lines for one repair: `name` as the user gave it, `output` as it was written.
std::string RepairReport(const qm_result* result, const std::string& name,
                         const std::string& output);

// What inspect shows of a file.
std::string InspectReport(const qm_result* result, const std::string& name);

}  // namespace quillmend::tool
