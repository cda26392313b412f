#include "sdk_methods.h"

#include <memory>
#include <new>
#include <string>

#include "advance_fix.h"
#include "core/log_sink.h"
#include "core/repair_context.h"
#include "core/stage_guard.h"
#include "core/version.h"
#include "general_fix.h"
#include "io/mapped_file.h"
#include "io/output_file.h"
#include "io/utf8.h"
#include "stages.h"

namespace quillmend {
namespace {

inline constexpr char kLogFileName[] = "quillmend_sdk.log";

// The damaged file of an advanced repair is scanned with a signed 32-bit position.
inline constexpr std::uint64_t kMaxScannedFileSize = std::uint64_t{1} << 31;

// Entry lines are written before the null checks.
const char* Printable(const char* text) { return text != nullptr ? text : "(null)"; }

ResultCode InitLogNow(const char* logDirectory, void* logOwner) {
  if (logDirectory == nullptr || logOwner == nullptr) return kBadArgument;
  // The separator is added without looking at the directory's last character.
  const std::string logFilePath = JoinPath(logDirectory, kLogFileName);
  InitLogEx(logOwner, kModuleTag, logFilePath.c_str());
  LogInfo("Quillmend Sdk: %s", kVersionText);
  return kOk;
}

// Runs one stage of a repair call; a failure is logged once more, with the stage's name.
template <typename Stage>
ResultCode RunLoggedStage(const char* failureFormat, Stage&& stage) {
  const ResultCode r = RunStage(std::forward<Stage>(stage));
  if (r != kOk) LogError(failureFormat, r);
  return r;
}

std::unique_ptr<RepairContext> NewContext() {
  std::unique_ptr<RepairContext> context(new (std::nothrow) RepairContext);
  if (!context) LogError("alloc failed!");
  return context;
}

ResultCode GeneralRepairNow(const char* damagedPath, const char* outputPath) {
  LogInfo("corrupt: %s", Printable(damagedPath));
  if (damagedPath == nullptr || outputPath == nullptr) return kBadArgument;

  const std::unique_ptr<RepairContext> context = NewContext();
  if (!context) return kAllocFailed;
  ResultCode r =
      RunLoggedStage("map failed! %d", [&] { return MapContextFile(*context, damagedPath); });
  if (r == kOk) {
    r = RunLoggedStage("verify failed! %d", [&] { return VerifyDamagedFile(*context); });
  }
  if (r == kOk) {
    r = RunLoggedStage("fix failed! %d", [&] { return GeneralFix(*context, outputPath); });
  }
  return r;
}

// Maps the damaged file of an advanced repair, which belongs to the call, not to the context.
ResultCode MapDamagedFile(const char* damagedPath, std::unique_ptr<MappedFile>& damaged) {
  damaged.reset(new (std::nothrow) MappedFile(Utf8ToWide(damagedPath)));
  if (!damaged || damaged->Data() == nullptr || damaged->Size() == 0) return kAllocFailed;
  if (damaged->Size() >= kMaxScannedFileSize) {
    LogError(">>[!] The damaged file is too large: 2 GiB or more");
    return kTooLarge;
  }
  return kOk;
}

ResultCode AdvanceRepairNow(const char* damagedPath, const char* samplePath,
                            const char* outputPath) {
  LogInfo("corrupt: %s, sample: %s", Printable(damagedPath), Printable(samplePath));
  if (damagedPath == nullptr || outputPath == nullptr || samplePath == nullptr) {
    return kBadArgument;
  }

  // Declared before the context so that it is closed after the context is destroyed.
  std::unique_ptr<MappedFile> damaged;
  ResultCode r = RunStage([&] { return MapDamagedFile(damagedPath, damaged); });
  if (r != kOk) {
    LogError("map corrupt failed!");
    return r;
  }

  const std::unique_ptr<RepairContext> context = NewContext();
  if (!context) return kAllocFailed;
  r = RunLoggedStage("map failed! %d", [&] { return MapContextFile(*context, samplePath); });
  if (r == kOk) {
    r = RunLoggedStage("prepare failed! %d", [&] { return PrepareSampleFile(*context); });
  }
  if (r == kOk) {
    // The two paths go on as the caller gave them; the damaged file's cursor is still at 0.
    r = RunLoggedStage("fix failed! %d",
                       [&] { return AdvanceFix(*context, *damaged, samplePath, outputPath); });
  }
  return r;
}

}  // namespace

ResultCode InitLog(const char* logDirectory, void* logOwner) {
  return RunStage([&] { return InitLogNow(logDirectory, logOwner); });
}

ResultCode GeneralRepairCall(const char* damagedPath, const char* outputPath) {
  return RunStage([&] { return GeneralRepairNow(damagedPath, outputPath); });
}

ResultCode AdvanceRepairCall(const char* damagedPath, const char* samplePath,
                             const char* outputPath) {
  return RunStage([&] { return AdvanceRepairNow(damagedPath, samplePath, outputPath); });
}

}  // namespace quillmend
