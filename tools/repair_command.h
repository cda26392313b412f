#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillmend::tool {

struct RepairOptions {
  std::vector<std::string> inputs;
  std::optional<std::string> output;     // -o, one input only
  std::optional<std::string> outputDir;  // --out-dir
  std::optional<std::string> sample;     // --sample: advanced repair
  std::string logDir;
  bool json = false;
  bool force = false;
};

// Repairs every input in turn and reports on stdout. Returns the exit status: 0 when every
// file was repaired, 1 otherwise.
int RunRepair(const RepairOptions& options);

}  // namespace quillmend::tool
