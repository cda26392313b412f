#include "inspect_command.h"

#include <cstdio>
#include <memory>

#include "common.h"
#include "console.h"
#include "progress.h"
#include "quillmend.h"
#include "report.h"
#include "stop_signal.h"

namespace quillmend::tool {
namespace {

struct InspectOptions {
  CommonOptions common;
  std::string file;
};

int RunInspect(const InspectOptions& o) {
  OpenLog(o.common.logDir);
  qm_options options;
  qm_options_init(&options);
  ApplyCommonOptions(o.common, &options);
  qm_result* raw = nullptr;
  {
    ProgressLine progress(ToUtf8(FromUtf8(o.file).filename()), StderrIsTerminal());
    progress.Attach(&options);
    qm_inspect(o.file.c_str(), &options, &raw);
  }
  const std::unique_ptr<qm_result, decltype(&qm_result_free)> result(raw, &qm_result_free);
  const qm_code code = qm_result_code(result.get());
  if (StopRequested()) return StopExitStatus();
  if (code == QM_ERR_ARGUMENT) {
    return UsageError(qm_result_message(result.get()), qm_result_hint(result.get()));
  }
  if (o.common.json) {
    std::printf("%s\n", qm_result_json(result.get()));
  } else {
    std::fputs(InspectReport(result.get(), o.file).c_str(), stdout);
  }
  return code == QM_REPAIRED || code == QM_NOT_DAMAGED ? kExitOk : kExitFailed;
}

}  // namespace

void AddInspectCommand(CLI::App& app, int* exitStatus) {
  auto o = std::make_shared<InspectOptions>();
  CLI::App* inspect = app.add_subcommand(
      "inspect", "Shows what the exact repair sees in a file, and writes nothing");
  inspect->add_option("FILE", o->file, "the recording to look at")->required()->type_name("");
  AddCommonOptions(*inspect, &o->common);
  inspect->footer(
      "Shows the stream's parameters (and whether the rate is known or assumed), the container's\n"
      "state, the audio frames found and every damaged stretch.\n"
      "Exit status: 0 audio found, 1 none, 2 usage error.");
  inspect->callback([o, exitStatus] { *exitStatus = RunInspect(*o); });
}

}  // namespace quillmend::tool
