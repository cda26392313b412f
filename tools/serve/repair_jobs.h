#pragma once
// The repairs that the local page asked for: each in a private directory of its own, run on a
// small pool of worker threads, removed when asked, some time after they finished, and when the
// server stops. A finished repair's tracks may be written again at another rate, on the same
// workers, ahead of the repairs that wait.
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
  std::string sampleName;   // the name the client gave its healthy recording
  std::uint32_t track = 0;  // 0: every sound track
};

// What a client may see of a repair.
struct RepairView {
  RepairState state;
  double progress;
  std::string name;        // the file name the client gave, for display only
  std::string resultJson;  // the result object, its tracks as they are now; empty until finished
  bool hasOutput;
};

// One track's recording as it is offered: our file and the name the client gets it under.
struct TrackFile {
  std::filesystem::path path;
  std::string name;
};

enum class RateAnswer {
  kSwitched,    // that rate's recording was there already: it is the track's now
  kStarted,     // a worker writes it; the track follows once it is done
  kNoRepair,    // no such repair
  kBusy,        // the repair, or a change of this track's rate, has not finished
  kNoTrack,     // the repair has no such track
  kNotOffered,  // not one of the rates the track's frames fit
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
  // A track's recording by its number in the file (0: the first track written), at `rate` when
  // that rate's recording was made (0: the rate chosen now).
  std::optional<TrackFile> Output(const std::string& id, std::uint32_t track,
                                  std::uint32_t rate) const;
  std::optional<std::vector<float>> Waveform(const std::string& id, std::uint32_t track) const;
  // Makes `rate` the track's rate: at once when its recording is there, else on a worker.
  RateAnswer ChangeRate(const std::string& id, std::uint32_t track, std::uint32_t rate);
  // Cancels it if it runs; its files go as soon as no worker uses them.
  bool Remove(const std::string& id);
  // Removes the repairs that finished longer ago than the time to keep them.
  void RemoveExpired();

 private:
  struct Job;
  struct Task {
    std::shared_ptr<Job> job;
    std::size_t track = 0;
    std::uint32_t rate = 0;  // 0: the repair itself
  };
  void Work();
  void Run(Job& job);
  void RunRateChange(Job& job, std::size_t track, std::uint32_t rate);
  // After a worker let go of a job: its files go if it was removed meanwhile.
  void Release(Job& job);

  const std::filesystem::path root_;
  const std::chrono::seconds keepFinished_;
  const std::size_t maxRepairs_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::shared_ptr<Job>> jobs_;
  std::deque<Task> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// A random hexadecimal text of `bytes` bytes from the system's random source.
std::string RandomHex(std::size_t bytes);

}  // namespace quillmend::tool::serve
