#include "report.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace quillmend::tool {
namespace {

std::string Printf(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
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

std::string Plural(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A person who hears a recording at the wrong speed needs to know that it was a guess.
std::string AssumedRateNote(const qm_result* result) {
  if (!qm_result_rate_assumed(result) || qm_result_rate(result) == 0) return {};
  // The general repair writes its own fixed header and takes no rate: only the exact one does.
  const std::string how = qm_result_method(result) == QM_METHOD_EXACT
                              ? "repair it with --rate HZ"
                              : "repair it with the exact method and --rate HZ";
  return "  note: the file does not say its sampling rate; " + Format(qm_result_rate(result), 0) +
         " was assumed.\n  If the repaired file plays too fast or too slow, " + how +
         " (the recorder's setting) or --sample HEALTHY.\n";
}

}  // namespace

std::string Duration(double seconds) {
  const auto whole = static_cast<std::uint64_t>(std::llround(std::max(seconds, 0.0)));
  if (whole >= 3600) {
    return Printf("%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, whole / 3600, whole / 60 % 60,
                  whole % 60);
  }
  return Printf("%" PRIu64 ":%02" PRIu64, whole / 60, whole % 60);
}

std::string Format(std::uint32_t rate, std::uint32_t channels) {
  std::string text = rate != 0 ? Printf("%g kHz", rate / 1000.0) : "";
  if (channels != 0) {
    if (!text.empty()) text += " ";
    text += channels == 1 ? "mono" : channels == 2 ? "stereo" : Plural(channels, "", "channels");
  }
  return text;
}

std::string DamageSummary(const qm_result* result) {
  const std::size_t stretches = qm_result_damage_count(result);
  if (stretches == 0) return "no damaged stretches";
  return Plural(stretches, "damaged stretch", "damaged stretches") +
         Printf(", about %.1f s lost", qm_result_lost_seconds(result));
}

std::string RepairReport(const qm_result* result, const std::string& name,
                         const std::string& output) {
  const qm_code code = qm_result_code(result);
  const std::string message = qm_result_message(result), hint = qm_result_hint(result);
  if (code == QM_NOT_DAMAGED)
    return name + ": " + message + (hint.empty() ? "" : "; " + hint) + "\n";
  if (code != QM_REPAIRED) {
    return name + ": not repaired: " + message + "\n" +
           (hint.empty() ? "" : "  try: " + hint + "\n");
  }
  std::string details = Duration(qm_result_seconds(result));
  if (const std::string format = Format(qm_result_rate(result), qm_result_channels(result));
      !format.empty()) {
    details += ", " + format;
  }
  details += ", " + Plural(qm_result_frames(result), "frame", "frames");
  return name + ": repaired -> " + output + " (" + details + "; " + DamageSummary(result) + ") [" +
         MethodName(qm_result_method(result)) + "]\n" + AssumedRateNote(result);
}

std::string InspectReport(const qm_result* result, const std::string& name) {
  const qm_code code = qm_result_code(result);
  const std::string hint = qm_result_hint(result);
  std::string text = name + ": " + qm_result_message(result) + "\n";
  // A file that could not be read, or a sample that could not, was not looked at.
  const bool walked = code == QM_REPAIRED || code == QM_NOT_DAMAGED || code == QM_ERR_NO_AUDIO ||
                      code == QM_ERR_MISMATCH;
  if (walked) {
    // The container's state and where the rate came from are in the result's JSON only.
    const auto json = nlohmann::json::parse(qm_result_json(result), nullptr, false);
    const auto container = json.is_object() && json.contains("container")
                               ? json["container"]
                               : nlohmann::json::object();
    const std::uint32_t rate = qm_result_rate(result);
    const std::string source = json.is_object() ? json.value("rate_source", std::string()) : "";
    const std::uint32_t channels = qm_result_channels(result);
    std::string rateText = rate == 0 ? "rate unknown" : Format(rate, 0);
    if (rate != 0 && (qm_result_rate_assumed(result) || !source.empty())) {
      rateText += std::string(" (") + (qm_result_rate_assumed(result) ? "assumed" : "known") +
                  (source.empty() ? "" : ", from " + source) + ")";
    }
    text += "  parameters: " + rateText + ", " +
            (channels == 0 ? std::string("channels unknown") : Format(0, channels)) + "\n";
    text += "  container: brand \"" + container.value("brand", std::string()) + "\", moov " +
            (container.value("moov", false) ? "present" : "missing") + " (" +
            Plural(container.value("indexed_frames", std::uint64_t{0}), "frame", "frames") +
            " indexed), mdat " + (container.value("mdat", false) ? "found" : "not found") +
            Printf(" (%.1f MB of media data)\n",
                   container.value("media_bytes", std::uint64_t{0}) / 1e6);
    text += "  audio: " + Plural(qm_result_frames(result), "frame", "frames") + " found, " +
            Duration(qm_result_seconds(result)) + "\n";
    text += "  " + DamageSummary(result) + "\n";
    for (std::size_t i = 0; i < qm_result_damage_count(result); ++i) {
      qm_damage d{};
      qm_result_damage(result, i, &d);
      text += Printf(
          "    bytes %" PRIu64 "-%" PRIu64 " (%" PRIu64 " bytes) at %s, about %.2f s lost\n",
          d.offset, d.offset + d.length, d.length, Duration(d.at_seconds).c_str(), d.lost_seconds);
    }
    text += AssumedRateNote(result);
  }
  return text + (hint.empty() ? "" : "  try: " + hint + "\n");
}

}  // namespace quillmend::tool
