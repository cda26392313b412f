#include "repair_command.h"

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

#include "common.h"
#include "console.h"
#include "progress.h"
#include "quillmend.h"
#include "report.h"
#include "stop_signal.h"

namespace quillmend::tool {
namespace {

namespace fs = std::filesystem;

struct RepairOptions {
  CommonOptions common;
  std::vector<std::string> inputs;
  std::string output;     // -o, one input only
  std::string outputDir;  // --out-dir
  std::string method = "exact";
  bool keepTiming = false;
  bool force = false;
  std::uint32_t track = 0;
};

using ResultPtr = std::unique_ptr<qm_result, decltype(&qm_result_free)>;

// NAME-repaired.m4a, beside the input or in the output folder.
std::string DefaultOutput(const std::string& input, const std::string& outputDir) {
  const fs::path in = FromUtf8(input);
  const fs::path directory = outputDir.empty() ? in.parent_path() : FromUtf8(outputDir);
  return ToUtf8(directory / fs::path(in.stem()).concat("-repaired.m4a"));
}

std::string Key(const std::string& path) {
  return ToUtf8(fs::absolute(FromUtf8(path)).lexically_normal());
}

// Two files of a batch written to one name, or one file's output on another's input, would
// lose a recording; that is a mistake in the call, found before anything is written.
std::string Clash(const RepairOptions& o, const std::vector<std::string>& outputs) {
  std::set<std::string> inputs;
  for (const std::string& in : o.inputs) inputs.insert(Key(in));
  if (!o.common.sample.empty()) inputs.insert(Key(o.common.sample));
  std::set<std::string> seen;
  for (const std::string& out : outputs) {
    if (inputs.count(Key(out))) return out + " would replace a file given to read";
    if (!seen.insert(Key(out)).second) return "two files would be repaired into " + out;
  }
  return {};
}

// The output folder, made when missing; the folders made are removed again when nothing was
// put into them.
class OutputFolder {
 public:
  std::error_code Make(const std::string& directory) {
    std::vector<fs::path> missing;
    std::error_code error;
    fs::path p = fs::absolute(FromUtf8(directory), error).lexically_normal();
    if (!p.has_filename()) p = p.parent_path();  // "out/"
    for (; !p.empty() && !fs::exists(p, error); p = p.parent_path()) {
      missing.push_back(p);
      if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (!fs::create_directory(*it, error) && error) return error;
      made_.push_back(*it);
    }
    return {};
  }
  ~OutputFolder() {
    std::error_code error;  // a folder that holds something stays
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) fs::remove(*it, error);
  }

 private:
  std::vector<fs::path> made_;
};

int RunRepair(const RepairOptions& o) {
  if (!o.output.empty() && o.inputs.size() > 1) {
    return UsageError("-o names one output; use --out-dir for several files");
  }
  std::vector<std::string> outputs;
  for (const std::string& in : o.inputs) {
    outputs.push_back(o.output.empty() ? DefaultOutput(in, o.outputDir) : o.output);
  }
  if (const std::string clash = Clash(o, outputs); !clash.empty()) {
    return UsageError(clash, "choose another output (-o) or folder (--out-dir)");
  }
  const std::string log = OpenLog(o.common.logDir);
  OutputFolder folder;
  if (!o.outputDir.empty()) {
    if (const std::error_code e = folder.Make(o.outputDir)) {
      std::fprintf(stderr, "quillmend: cannot make the folder %s: %s\n", o.outputDir.c_str(),
                   e.message().c_str());
    }
  }
  qm_options options;
  qm_options_init(&options);
  if (qm_method_from_name(o.method.c_str(), &options.method) != 0) {
    return UsageError("no method is called " + o.method, "exact, general or advanced");
  }
  ApplyCommonOptions(o.common, &options);
  options.keep_timing = o.keepTiming;
  options.track = o.track;
  options.overwrite = o.force;

  std::map<qm_code, std::size_t> counts;
  std::vector<std::string> failed;
  const bool terminal = StderrIsTerminal();
  for (std::size_t i = 0; i < o.inputs.size() && !StopRequested(); ++i) {
    const std::string& input = o.inputs[i];
    qm_result* raw = nullptr;
    {
      ProgressLine progress(ToUtf8(FromUtf8(input).filename()), terminal);
      progress.Attach(&options);
      qm_repair(input.c_str(), outputs[i].c_str(), &options, &raw);
    }
    const ResultPtr result(raw, &qm_result_free);
    const qm_code code = qm_result_code(result.get());
    // The options are the same for every file: the library finds them wrong at the first one.
    if (code == QM_ERR_ARGUMENT && i == 0) {
      return UsageError(qm_result_message(result.get()), qm_result_hint(result.get()));
    }
    if (o.common.json) {
      std::printf("%s\n", qm_result_json(result.get()));
    } else {
      std::string report = RepairReport(result.get(), input, outputs[i]);
      if (code != QM_REPAIRED && code != QM_NOT_DAMAGED && code != QM_ERR_CANCELLED &&
          !log.empty()) {
        report += "  log: " + log + "\n";
      }
      std::fputs(report.c_str(), stdout);
    }
    std::fflush(stdout);
    ++counts[code];
    if (code != QM_REPAIRED && code != QM_NOT_DAMAGED) failed.push_back(input);
  }
  if (StopRequested()) return StopExitStatus();
  if (!o.common.json && o.inputs.size() > 1) {
    std::printf("\n%zu files: %zu repaired, %zu not damaged, %zu not repaired\n", o.inputs.size(),
                counts[QM_REPAIRED], counts[QM_NOT_DAMAGED], failed.size());
    for (const std::string& name : failed) std::printf("  not repaired: %s\n", name.c_str());
  }
  return failed.empty() ? kExitOk : kExitFailed;
}

}  // namespace

void AddRepairCommand(CLI::App& app, int* exitStatus) {
  auto o = std::make_shared<RepairOptions>();
  CLI::App* repair = app.add_subcommand("repair", "Repairs damaged recordings, one after another");
  repair->add_option("FILE", o->inputs, "the damaged recordings")->required()->type_name("");
  CLI::Option* output =
      repair->add_option("-o,--output", o->output, "the output file (one FILE only)")
          ->type_name("OUT");
  repair
      ->add_option("--out-dir", o->outputDir,
                   "write NAME-repaired.m4a files into DIR (made when missing); default: beside "
                   "each FILE")
      ->type_name("DIR")
      ->excludes(output);
  repair->add_option("--method", o->method, "exact (default), general or advanced")
      ->type_name("METHOD");
  repair
      ->add_option("--track", o->track,
                   "only sound track N (default: each track to a file of its own, the second "
                   "as NAME-track2.m4a beside the first)")
      ->type_name("N");
  AddCommonOptions(*repair, &o->common);
  repair->add_flag("--keep-timing", o->keepTiming,
                   "exact: fill each lost stretch with silence so that later audio keeps its time");
  repair->add_flag("-y,--force", o->force, "replace an existing output file");
  repair->footer(
      "Methods:\n"
      "  exact     every audio frame whose bytes survived, copied as it is; the rate from the\n"
      "            file's header, a healthy recording beside it or --sample, else its frames\n"
      "  general   the SDK's general repair: frames cut by the heads most recorders write\n"
      "  advanced  the SDK's advanced repair: needs --sample; decodes and encodes again with\n"
      "            the ffmpeg tool beside quillmend\n"
      "Nothing is written for a file that plays already, and never over an input.\n"
      "Exit status: 0 every file repaired or not damaged, 1 a file not repaired, 2 usage error.");
  repair->callback([o, exitStatus] { *exitStatus = RunRepair(*o); });
}

}  // namespace quillmend::tool
