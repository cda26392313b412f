#pragma once
// The repairs that the local page asked for: each in a private directory of its own, run on a
// small pool of worker threads, removed when asked, some time after they finished, and when the
// server stops.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillmend.h"

namespace quillmend::tool::serve {

enum class RepairState { kReceiving, kQueued, kRunning, kDone, kFailed };

struct RepairSettings {
  qm_method method = QM_METHOD_EXACT;
  std::uint32_t rateHz = 0;
  bool keepTiming = false;
  bool withSample = false;
};

// What a client may see of a repair.
struct RepairView {
  RepairState state;
  double progress;
  std::string name;        // the file name the client gave, for display only
  std::string resultJson;  // the library's result object; empty until finished
  bool hasOutput;
};

class RepairJobs {
 public:
  // Files of a repair's directory, under our own fixed names.
  static constexpr char kDamagedFile[] = "damaged.m4a";
  static constexpr char kSampleFile[] = "sample.m4a";
  static constexpr char kOutputFile[] = "repaired.m4a";
  static constexpr std::size_t kWaveformPeaks = 600;

  RepairJobs(std::filesystem::path root, unsigned workers, std::chrono::seconds keepFinished,
             std::size_t maxRepairs);
  // Cancels what runs, waits for the workers and removes every repair's files.
  ~RepairJobs();
  RepairJobs(const RepairJobs&) = delete;
  RepairJobs& operator=(const RepairJobs&) = delete;

  // A new repair receiving its upload, with its private directory; nullopt when too many are
  // kept already or the directory cannot be made.
  std::optional<std::string> Create();
  std::filesystem::path Directory(const std::string& id) const;
  // Hands a received repair to the workers; `displayName` is the name the client gave its file.
  bool Start(const std::string& id, std::string displayName, const RepairSettings& settings);
  std::optional<RepairView> View(const std::string& id) const;
  std::optional<std::filesystem::path> Output(const std::string& id) const;
  std::optional<std::vector<float>> Waveform(const std::string& id) const;
  // Cancels it if it runs; its files go as soon as no worker uses them.
  bool Remove(const std::string& id);
  // Removes the repairs that finished longer ago than the time to keep them.
  void RemoveExpired();

 private:
  struct Job;
  void Work();
  void Run(Job& job);

  const std::filesystem::path root_;
  const std::chrono::seconds keepFinished_;
  const std::size_t maxRepairs_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::shared_ptr<Job>> jobs_;
  std::deque<std::shared_ptr<Job>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// A random hexadecimal text of `bytes` bytes from the system's random source.
std::string RandomHex(std::size_t bytes);

}  // namespace quillmend::tool::serve
