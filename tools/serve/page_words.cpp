#include "serve/page_words.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmend::tool::serve {
namespace {

using Names = std::vector<std::pair<std::string, std::string>>;

// Each name is replaced where it stands in the text, in one pass: what a replacement brings in
// (the person's own file name may read like one of ours) is never looked at again.
std::string ReplaceNames(const std::string& text, Names names) {
  std::erase_if(names, [](const auto& name) { return name.first.empty(); });
  // A name that holds another, as a path holds its file's name, is taken whole.
  std::stable_sort(names.begin(), names.end(),
                   [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  std::string words;
  for (std::size_t at = 0; at < text.size();) {
    const auto found = std::find_if(names.begin(), names.end(), [&](const auto& name) {
      return text.compare(at, name.first.size(), name.first) == 0;
    });
    if (found == names.end()) {
      words += text[at++];
    } else {
      words += found->second;
      at += found->first.size();
    }
  }
  return words;
}

std::string OrList(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == items.size() ? " or " : ", ") + items[i];
  }
  return text;
}

// One thing to try: where the control for it is, and what follows.
struct Step {
  explicit Step(std::string text, bool underOptions = false, std::string then = "")
      : text(std::move(text)), underOptions(underOptions), then(std::move(then)) {}
  std::string text;
  bool underOptions;
  std::string then;
};

}  // namespace

std::string RateWords(std::span<const std::uint32_t> rates) {
  std::vector<std::string> numbers;
  for (const std::uint32_t rate : rates) {
    char number[16];
    std::snprintf(number, sizeof number, "%g", rate / 1000.0);
    numbers.emplace_back(number);
  }
  return numbers.empty() ? "" : OrList(numbers) + " kHz";
}

std::string InPageWords(const std::string& text, const UploadNames& names) {
  const std::string sample = names.sampleName.empty() ? "the healthy recording"
                                                      : "the healthy recording " + names.sampleName;
  return ReplaceNames(text, {
                                {names.directory + "/", ""},
                                {names.directory + "\\", ""},
                                {names.directory, "the server's working folder"},
                                {"the healthy recording " + names.sampleFile, sample},
                                {names.sampleFile, sample},
                                {names.outputFile, "the repaired recording"},
                                {names.damagedFile, names.displayName},
                                // The person sees no log of ours.
                                {"; the log says more", ""},
                            });
}

std::string PageHint(qm_code code, const std::string& hint,
                     std::span<const qm_suggestion> suggestions, const UploadNames& names) {
  const bool repaired = code == QM_REPAIRED;
  const bool withSample = !names.sampleName.empty();
  std::vector<std::uint32_t> rates;
  std::vector<std::string> tracks;
  std::vector<Step> steps;
  for (const qm_suggestion& s : suggestions) {
    switch (s.action) {
      case QM_TRY_SAMPLE:
        if (code == QM_ERR_NEEDS_SAMPLE) {
          steps.emplace_back(
              "add a healthy recording made by the same program, with the same sound "
              "tracks,",
              true, ", and try again: it tells the tracks apart");
        } else if (withSample && !repaired) {
          steps.emplace_back("choose another healthy recording made by the same recorder", true);
        } else {
          steps.emplace_back("add a healthy recording from the same recorder", true,
                             repaired ? " and try again" : "");
        }
        break;
      case QM_TRY_RATE:
        rates.push_back(s.value);
        break;
      case QM_TRY_METHOD:
        steps.emplace_back(s.value == QM_METHOD_EXACT     ? "choose the recommended way to repair"
                           : s.value == QM_METHOD_GENERAL ? "choose the general way to repair"
                                                          : "choose to decode and encode again",
                           true);
        break;
      case QM_TRY_TRACK:
        tracks.push_back(std::to_string(s.value));
        break;
      case QM_TRY_FREE_SPACE:
        steps.emplace_back("free some space on this computer's disk");
        break;
      case QM_TRY_OVERWRITE:
      case QM_TRY_OUTPUT:
        break;  // the page names and places its files itself
    }
  }
  if (!rates.empty()) {
    const Step step =
        repaired
            ? Step("if it sounds too slow or too fast, choose " + RateWords(rates) + " on its row")
            : Step("choose " + RateWords(rates) + " as the sampling rate", true,
                   ", or let it find the rate by itself");
    steps.insert(steps.begin(), step);
  }
  if (!tracks.empty()) steps.emplace_back("choose sound track " + OrList(tracks) + " only", true);
  // A healthy recording that does not fit this file is better left out than given again.
  if (withSample && (code == QM_ERR_SAMPLE || (code == QM_ERR_MISMATCH && rates.empty()))) {
    if (steps.empty()) {
      steps.emplace_back(
          "choose a healthy recording made by the same recorder with the same "
          "settings",
          true);
    }
    steps.emplace_back("remove it", true);
  }
  if (steps.empty()) return hint;

  std::vector<std::string> parts;
  bool placed = false;
  for (const Step& step : steps) {
    std::string part = step.text;
    if (step.underOptions) part += placed ? " there" : " under More options";
    placed = placed || step.underOptions;
    parts.push_back(part + step.then);
  }
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? "" : ", or ") + parts[i];
  return text;
}

}  // namespace quillmend::tool::serve
