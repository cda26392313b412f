#pragma once
// Where a repair's outputs go: checked before anything is written, renamed into place once read
// back, never over an input, never over an existing file without leave.
#include <filesystem>
#include <string>

#include "core/status.h"
#include "result.h"

namespace quillmend::api {

struct Request;
class Workspace;

Status CheckOutput(const Request& request, const std::string& output,
                   const std::filesystem::path& outputPath);
// Renames the work file of each track of the result into its output; when one cannot be, the
// ones already in place are taken back.
Status PutInPlace(const Request& request, const Workspace& workspace, qm_result* result);
// Makes the repair's work directory beside the output; a failure says why, in words.
Status MakeWorkspace(const Request& request, Workspace* workspace);
// Turns a failed write into words, telling a full disk from the rest.
Status WriteFailure(const Request& request, const std::string& why);

}  // namespace quillmend::api
