#include "serve/repair_jobs.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <random>

#include "serve/page_words.h"
#include "serve/platform.h"

namespace quillmend::tool::serve {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

void RemoveFiles(const fs::path& dir) {
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

// The name offered for the download: the client's name with "-repaired" before the extension.
std::string OutputName(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  return stem + "-repaired.m4a";
}

}  // namespace

struct RepairJobs::Job {
  std::string id;
  fs::path dir;
  std::string name;
  RepairSettings settings;
  std::atomic<double> progress{0};
  std::atomic<bool> cancelled{false};
  // The rest is guarded by the owner's mutex.
  RepairState state = RepairState::kReceiving;
  bool removed = false;
  std::string resultJson;
  bool hasOutput = false;
  std::vector<float> peaks;
  Clock::time_point finishedAt;

  static int OnProgress(void* self, double fraction) {
    auto* job = static_cast<Job*>(self);
    if (fraction >= 0) job->progress = fraction;
    return job->cancelled ? 1 : 0;
  }
};

std::string RandomHex(std::size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device source;
  std::string text;
  while (text.size() < 2 * bytes) {
    const unsigned value = source();
    for (int shift = 0; shift < 32 && text.size() < 2 * bytes; shift += 4) {
      text += kDigits[(value >> shift) & 0xF];
    }
  }
  return text;
}

RepairJobs::RepairJobs(fs::path root, unsigned workers, std::chrono::seconds keepFinished,
                       std::size_t maxRepairs)
    : root_(std::move(root)), keepFinished_(keepFinished), maxRepairs_(maxRepairs) {
  for (unsigned i = 0; i < std::max(1u, workers); ++i) workers_.emplace_back([this] { Work(); });
}

RepairJobs::~RepairJobs() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [id, job] : jobs_) job->cancelled = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  // The root is the server's, which removes it once it lets go of its lock there.
  for (const auto& [id, job] : jobs_) RemoveFiles(job->dir);
}

std::optional<std::string> RepairJobs::Create() {
  auto job = std::make_shared<Job>();
  job->id = RandomHex(16);
  job->dir = root_ / job->id;
  std::lock_guard lock(mutex_);
  if (stopping_ || jobs_.size() >= maxRepairs_ || MakeOwnerOnlyDirectory(job->dir)) {
    return std::nullopt;
  }
  jobs_[job->id] = job;
  return job->id;
}

fs::path RepairJobs::Directory(const std::string& id) const {
  std::lock_guard lock(mutex_);
  const auto found = jobs_.find(id);
  return found == jobs_.end() ? fs::path() : found->second->dir;
}

bool RepairJobs::Start(const std::string& id, std::string displayName,
                       const RepairSettings& settings) {
  {
    std::lock_guard lock(mutex_);
    const auto found = jobs_.find(id);
    if (found == jobs_.end() || found->second->state != RepairState::kReceiving) return false;
    found->second->name = std::move(displayName);
    found->second->settings = settings;
    found->second->state = RepairState::kQueued;
    queue_.push_back(found->second);
  }
  wake_.notify_one();
  return true;
}

std::optional<RepairView> RepairJobs::View(const std::string& id) const {
  std::lock_guard lock(mutex_);
  const auto found = jobs_.find(id);
  if (found == jobs_.end()) return std::nullopt;
  const Job& job = *found->second;
  return RepairView{job.state, job.progress.load(), job.name, job.resultJson, job.hasOutput};
}

std::optional<fs::path> RepairJobs::Output(const std::string& id) const {
  std::lock_guard lock(mutex_);
  const auto found = jobs_.find(id);
  if (found == jobs_.end() || !found->second->hasOutput) return std::nullopt;
  return found->second->dir / kOutputFile;
}

std::optional<std::vector<float>> RepairJobs::Waveform(const std::string& id) const {
  std::lock_guard lock(mutex_);
  const auto found = jobs_.find(id);
  if (found == jobs_.end() || !found->second->hasOutput) return std::nullopt;
  return found->second->peaks;
}

bool RepairJobs::Remove(const std::string& id) {
  std::shared_ptr<Job> job;
  {
    std::lock_guard lock(mutex_);
    const auto found = jobs_.find(id);
    if (found == jobs_.end()) return false;
    job = found->second;
    jobs_.erase(found);
    job->removed = true;
    job->cancelled = true;
    // A running repair's worker removes the files when the library has let go of them.
    if (job->state == RepairState::kRunning) return true;
    std::erase(queue_, job);
  }
  RemoveFiles(job->dir);
  return true;
}

void RepairJobs::RemoveExpired() {
  std::vector<std::string> expired;
  {
    std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    for (const auto& [id, job] : jobs_) {
      const bool finished = job->state == RepairState::kDone || job->state == RepairState::kFailed;
      if (finished && now - job->finishedAt >= keepFinished_) expired.push_back(id);
    }
  }
  for (const std::string& id : expired) Remove(id);
}

void RepairJobs::Work() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = queue_.front();
      queue_.pop_front();
      job->state = RepairState::kRunning;
    }
    Run(*job);
  }
}

void RepairJobs::Run(Job& job) {
  const std::string damaged = Utf8(job.dir / kDamagedFile);
  const std::string sample = Utf8(job.dir / kSampleFile);
  const std::string output = Utf8(job.dir / kOutputFile);
  qm_options options;
  qm_options_init(&options);
  options.method = job.settings.method;
  options.sample_path = job.settings.withSample ? sample.c_str() : nullptr;
  options.rate_hz = job.settings.rateHz;
  options.keep_timing = job.settings.keepTiming ? 1 : 0;
  options.progress = &Job::OnProgress;
  options.progress_user = &job;

  qm_result* result = nullptr;
  const qm_code code = qm_repair(damaged.c_str(), output.c_str(), &options, &result);
  const bool repaired = code == QM_REPAIRED;
  // No more slices than frames: a slice without a frame of its own would read as silence.
  const std::uint64_t frames = result != nullptr ? qm_result_frames(result) : 0;
  std::vector<float> peaks(
      static_cast<std::size_t>(std::min<std::uint64_t>(kWaveformPeaks, frames)));
  if (!repaired || peaks.empty() || qm_waveform(output.c_str(), peaks.data(), peaks.size()) != 0) {
    peaks.clear();
  }

  // The same fields as the tool's --json, with the names the client knows instead of our paths.
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  if (result != nullptr) {
    json = nlohmann::ordered_json::parse(qm_result_json(result), nullptr, false);
    qm_result_free(result);
  }
  if (json.is_object()) {
    // The library names the files it was given: ours, which the person never saw.
    const UploadNames names{Utf8(job.dir), kDamagedFile, kSampleFile, kOutputFile, job.name};
    for (const char* key : {"message", "hint"}) {
      if (json[key].is_string()) json[key] = InPageWords(json[key].get<std::string>(), names);
    }
    json["input"] = job.name;
    json["output"] = repaired ? OutputName(job.name) : "";
  }
  // The uploads are not needed any more; only the output stays for the page.
  std::error_code ignored;
  fs::remove(job.dir / kDamagedFile, ignored);
  fs::remove(job.dir / kSampleFile, ignored);

  bool removeNow = false;
  {
    std::lock_guard lock(mutex_);
    job.state =
        code == QM_REPAIRED || code == QM_NOT_DAMAGED ? RepairState::kDone : RepairState::kFailed;
    job.progress = 1;
    job.resultJson = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    job.hasOutput = repaired;
    job.peaks = std::move(peaks);
    job.finishedAt = Clock::now();
    removeNow = job.removed || stopping_;
  }
  if (removeNow) RemoveFiles(job.dir);
}

}  // namespace quillmend::tool::serve
