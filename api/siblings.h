#pragma once
// The healthy recordings beside a damaged one: made by the same recorder, most likely with the
// same settings, they tell the sampling rate that the frames cannot. Only their headers are
// read, and the look is bounded in files and time however full the folder is.
#include <filesystem>
#include <vector>

#include "repair/exact_repair.h"

namespace quillmend::api {

struct SiblingLook {
  std::vector<exact::Reference> references;  // those with a readable sound track
  std::uint32_t looked = 0;                  // files whose header was read
  double seconds = 0;                        // the time the look took
};

// Looks at the recordings in the damaged file's folder (unless `notBeside`) and in `extra`
// (when not empty), leaving out the files in `exclude`; the nearest in time to the damaged
// file first.
SiblingLook LookBeside(const std::filesystem::path& damaged, const std::filesystem::path& extra,
                       bool notBeside, const std::vector<std::filesystem::path>& exclude);

}  // namespace quillmend::api
