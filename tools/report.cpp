#include "report.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

namespace quillmend::tool {
namespace {

std::string Printf(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string Plural(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Khz(std::uint32_t rate) { return Printf("%g kHz", rate / 1000.0); }

std::vector<qm_suggestion> Suggestions(const qm_result* result) {
  std::vector<qm_suggestion> all(qm_result_suggestions(result, nullptr, 0));
  qm_result_suggestions(result, all.data(), all.size());
  return all;
}

std::vector<std::uint32_t> Alternatives(const qm_result* result) {
  std::vector<std::uint32_t> rates(qm_result_rate_alternatives(result, nullptr, 0));
  qm_result_rate_alternatives(result, rates.data(), rates.size());
  return rates;
}

// The tool's own words for what the library suggests.
std::string Flag(const qm_suggestion& s) {
  switch (s.action) {
    case QM_TRY_SAMPLE:
      return "--sample HEALTHY";
    case QM_TRY_RATE:
      return "--rate " + std::to_string(s.value);
    case QM_TRY_METHOD:
      return std::string("--method ") + qm_method_name(qm_method(s.value));
    case QM_TRY_TRACK:
      return "--track " + std::to_string(s.value);
    case QM_TRY_OVERWRITE:
      return "--force";
    case QM_TRY_OUTPUT:
      return "-o OUT";
    case QM_TRY_FREE_SPACE:
      break;
  }
  return {};
}

std::string TryLine(const qm_result* result) {
  const std::string hint = qm_result_hint(result);
  std::string flags;
  for (const qm_suggestion& s : Suggestions(result)) {
    if (const std::string f = Flag(s); !f.empty()) flags += (flags.empty() ? "" : ", ") + f;
  }
  if (hint.empty() && flags.empty()) return {};
  return "  try: " + hint + (flags.empty() ? "" : (hint.empty() ? "" : " ") + ("(" + flags + ")")) +
         "\n";
}

// Where the rate came from, for a person who hears a recording at the wrong speed if it is
// wrong: certain and from where, or the likeliest with the other rates to try.
std::string RateLine(const qm_result* result, const std::string& name) {
  const std::uint32_t rate = qm_result_rate(result);
  const std::string source = qm_result_rate_source(result);
  if (rate == 0 || source.empty()) return {};
  const std::string file = qm_result_rate_file(result);
  const std::string reason = qm_result_rate_reason(result);
  std::string line = "  rate: " + Khz(rate);
  if (source == "header") line += ", from the file's own header";
  if (source == "sample") line += ", from the healthy recording " + file;
  if (source == "sibling") line += ", from " + file + " beside it";
  if (source == "option") line += ", as given";
  if (source == "frames" || source == "assumed") {
    const std::string confidence = qm_result_rate_confidence(result);
    line += std::string(" (") + (confidence == "guess" ? "a guess" : confidence) +
            (reason.empty() ? std::string(source == "assumed" ? ", assumed" : "") : ": " + reason) +
            ")";
    for (const std::uint32_t other : Alternatives(result)) {
      // Labelled faster than it was recorded, a recording plays too fast.
      line += std::string("\n    if it plays too ") + (other < rate ? "fast" : "slow") +
              ": quillmend repair " + name + " --rate " + std::to_string(other);
    }
  }
  return line + "\n";
}

std::string TrackDetails(const qm_result* result) {
  std::string details = Duration(qm_result_seconds(result));
  if (const std::string format = Format(qm_result_rate(result), qm_result_channels(result));
      !format.empty()) {
    details += ", " + format;
  }
  return details + ", " + Plural(qm_result_frames(result), "frame", "frames");
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
  std::string text = rate != 0 ? Khz(rate) : "";
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
  if (code != QM_REPAIRED) return name + ": not repaired: " + message + "\n" + TryLine(result);
  const bool exact = qm_result_method(result) == QM_METHOD_EXACT;
  std::string note = message == "repaired" ? "" : message.substr(message.find("repaired") + 8);
  std::string text = name + ": repaired" + note + " -> " + output + " (" + TrackDetails(result) +
                     "; " + DamageSummary(result) + ") [" +
                     qm_method_name(qm_result_method(result)) + "]\n";
  if (exact) text += RateLine(result, name);
  for (std::size_t i = 1; i < qm_result_track_count(result); ++i) {
    const qm_result* track = qm_result_track(result, i);
    text += Printf("  track %u -> ", qm_result_track_number(track)) + qm_result_output(track) +
            " (" + TrackDetails(track) + ")\n";
    if (exact) text += RateLine(track, name);
  }
  return text;
}

std::string InspectReport(const qm_result* result, const std::string& name) {
  const qm_code code = qm_result_code(result);
  std::string text = name + ": " + qm_result_message(result) + "\n";
  // A file that could not be read, or a sample that could not, was not looked at.
  const bool walked = code == QM_REPAIRED || code == QM_NOT_DAMAGED || code == QM_ERR_NO_AUDIO ||
                      code == QM_ERR_MISMATCH || code == QM_ERR_NEEDS_SAMPLE;
  if (walked) {
    qm_container c{};
    qm_result_container(result, &c);
    text += std::string("  container: brand \"") + c.brand + "\", index " +
            (*c.index ? c.index : "missing") + " (" + Plural(c.indexed_frames, "frame", "frames") +
            " listed), mdat " + (c.mdat ? "found" : "not found") +
            (c.fragmented ? ", fragmented" : "") +
            Printf(" (%.1f MB of media data)\n", double(c.media_bytes) / 1e6);
    for (std::size_t i = 0; i < c.track_count; ++i) {
      text += std::string("    track in the index: ") + qm_result_container_track(result, i) + "\n";
    }
    if (c.video) text += "  a video: only its sound comes back\n";
    for (std::size_t i = 0; i < qm_result_track_count(result); ++i) {
      const qm_result* track = qm_result_track(result, i);
      const std::uint32_t channels = qm_result_channels(track);
      text +=
          Printf("  sound track %u: ", qm_result_track_number(track)) +
          (qm_result_rate(track) == 0 ? std::string("rate unknown") : Khz(qm_result_rate(track))) +
          ", " + (channels == 0 ? std::string("channels unknown") : Format(0, channels)) + ", " +
          Plural(qm_result_frames(track), "frame", "frames") + " found, " +
          Duration(qm_result_seconds(track)) + "\n";
      text += RateLine(track, name);
    }
    text += "  " + DamageSummary(result) + "\n";
    for (std::size_t i = 0; i < qm_result_damage_count(result); ++i) {
      qm_damage d{};
      qm_result_damage(result, i, &d);
      text += Printf(
          "    bytes %" PRIu64 "-%" PRIu64 " (%" PRIu64 " bytes) at %s, about %.2f s lost\n",
          d.offset, d.offset + d.length, d.length, Duration(d.at_seconds).c_str(), d.lost_seconds);
    }
  }
  return text + TryLine(result);
}

}  // namespace quillmend::tool
