#pragma once
// One repair of libquillmend, from the caller's request to the output in place: the walk that
// tells what the file holds, the runner of the method, the read-back, the rename.
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "core/status.h"
#include "io/mapped_file.h"
#include "quillmend.h"
#include "repair/exact_repair.h"
#include "result.h"

namespace quillmend::api {

class Workspace;

// Everything a repair needs to know before it starts; paths absolute.
struct Request {
  std::string input, output, sample, sampleDir;
  std::filesystem::path inputPath, outputPath, samplePath;
  qm_options options;
};

// Reads and checks the caller's arguments; `output` may be null (inspect).
Status ReadRequest(const char* damaged, const char* output, const qm_options* options,
                   Request* request);

// Relays progress to the caller's callback, and its wish to stop.
class Progress {
 public:
  explicit Progress(const qm_options& options) : options_(options) {}
  // Reports the fraction done; true when the caller asked to stop.
  bool Report(double fraction);
  bool Stopped() const { return stopped_; }

 private:
  const qm_options& options_;
  std::atomic<bool> stopped_{false};
};

// The damaged file, mapped and walked.
struct Walked {
  std::unique_ptr<MappedFile> file;
  exact::WalkResult walk;
  Status status;  // of the walk: a method that does not need it may still run without audio
};

// Maps the damaged file, reads the sample and the healthy recordings beside it, and walks.
// `share`: the part of the progress scale the walk takes.
Status WalkInput(const Request& request, Progress& progress, double share, Walked* walked,
                 qm_result* result);

// The runners of the methods: write into the workspace, read back, fill the result. They put
// nothing in place.
Status RunExact(const Request& request, Walked& walked, const Workspace& workspace,
                Progress& progress, qm_result* result);
Status RunSdkMethod(const Request& request, const Walked& walked, const Workspace& workspace,
                    Progress& progress, qm_result* result);

// One stream's coding and rate into a result.
void TakeStream(const exact::StreamParams& stream, qm_result* result);

qm_code Repair(const Request& request, qm_result* result);
qm_code Inspect(const Request& request, qm_result* result);

// The other rate of a repaired file (qm_change_rate).
qm_code ChangeRate(const Request& request, std::uint32_t rate, qm_result* result);

}  // namespace quillmend::api
