#include "serve/repair_jobs.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <random>

#include "serve/page_words.h"
#include "serve/platform.h"

namespace quillmend::tool::serve {

// A recording of one track at one rate.
struct RateRecording {
  std::filesystem::path file;  // in the repair's directory
  double seconds = 0;
};

// One sound track that came back, and the rate it is offered at now.
struct JobTrack {
  std::uint32_t number = 0;  // in the file
  std::string name;          // offered for the download
  std::vector<float> peaks;  // the same at any rate: the samples do not change, only their pace
  std::uint32_t repairedRate = 0;
  // The rates the person may choose: the repair's first, then the others the frames fit,
  // likeliest first; empty when the rate is certain.
  std::vector<std::uint32_t> offered;
  std::map<std::uint32_t, RateRecording> made;
  std::uint32_t rate = 0;
  std::uint32_t changingTo = 0;
  std::uint32_t failedRate = 0;
  std::string failure;
};

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

constexpr std::size_t kNoTrack = static_cast<std::size_t>(-1);
// Names from the file system may hold bytes that are not UTF-8; they must not break the JSON.
constexpr auto kReplace = nlohmann::json::error_handler_t::replace;

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

void RemoveFiles(const fs::path& dir) {
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

// The name offered for a track's download: the client's name with "-repaired" before the
// extension, and the track's number after it from the second track on.
std::string OutputName(const std::string& name, std::uint32_t track) {
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  return stem + "-repaired" + (track > 1 ? "-track" + std::to_string(track) : "") + ".m4a";
}

// Our name for a track's recording written again at another rate, beside the repair's own.
fs::path RateFile(const fs::path& repaired, std::uint32_t rate) {
  return fs::path(repaired.stem().string() + "-" + std::to_string(rate) + ".m4a");
}

std::vector<float> Peaks(const fs::path& file, std::uint64_t frames) {
  // No more slices than frames: a slice without a frame of its own would read as silence.
  std::vector<float> peaks(
      static_cast<std::size_t>(std::min<std::uint64_t>(RepairJobs::kWaveformPeaks, frames)));
  if (peaks.empty() || qm_waveform(Utf8(file).c_str(), peaks.data(), peaks.size()) != 0) {
    peaks.clear();
  }
  return peaks;
}

// The tracks a repair wrote, each into the repair's directory.
std::vector<JobTrack> TracksOf(const qm_result* result, const fs::path& dir,
                               const std::string& displayName) {
  std::vector<JobTrack> tracks;
  for (std::size_t i = 0; i < qm_result_track_count(result); ++i) {
    const qm_result* track = qm_result_track(result, i);
    const fs::path file = fs::u8path(qm_result_output(track)).filename();
    std::error_code error;
    if (file.empty() || !fs::is_regular_file(dir / file, error)) continue;
    JobTrack t;
    t.number = qm_result_track_number(track);
    t.name = OutputName(displayName, t.number);
    t.rate = t.repairedRate = qm_result_rate(track);
    t.made[t.rate] = {file, qm_result_seconds(track)};
    t.peaks = Peaks(dir / file, qm_result_frames(track));
    std::vector<std::uint32_t> others(qm_result_rate_alternatives(track, nullptr, 0));
    qm_result_rate_alternatives(track, others.data(), others.size());
    if (std::string_view(qm_result_rate_confidence(track)) != "certain" && !others.empty()) {
      t.offered.push_back(t.rate);
      t.offered.insert(t.offered.end(), others.begin(), others.end());
    }
    tracks.push_back(std::move(t));
  }
  return tracks;
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
  Json result;  // in the page's words, the tracks as the repair wrote them
  std::vector<JobTrack> tracks;
  int changing = 0;  // rate changes queued or running
  Clock::time_point finishedAt;

  // A worker uses its files.
  bool Busy() const { return state == RepairState::kRunning || changing > 0; }

  std::size_t Track(std::uint32_t number) const {
    if (number == 0) return tracks.empty() ? kNoTrack : 0;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
      if (tracks[i].number == number) return i;
    }
    return kNoTrack;
  }

  UploadNames Names() const {
    return {Utf8(dir),   kDamagedFile, kSampleFile,
            kOutputFile, name,         settings.withSample ? settings.sampleName : ""};
  }

  // The result with each track as it is now: its rate, its length at that rate, the rates it
  // may have, and a change under way or failed. The first track's are also at the top.
  std::string ResultNow() const {
    if (!result.is_object()) return "";
    Json now = result;
    if (!now.contains("tracks")) return now.dump(-1, ' ', false, kReplace);
    Json first = Json::object();
    for (std::size_t i = 0; i < now["tracks"].size(); ++i) {
      Json& one = now["tracks"][i];
      const std::size_t index = Track(one.value("track", 0u));
      if (index == kNoTrack) continue;
      const JobTrack& t = tracks[index];
      one["rate"] = t.rate;
      one["seconds"] = t.made.at(t.rate).seconds;
      one["rate_chosen"] = t.rate != t.repairedRate;
      one["rate_offered"] = t.offered;
      if (t.changingTo != 0) {
        one["rate_change"] = {{"status", "running"}, {"rate", t.changingTo}};
      } else if (!t.failure.empty()) {
        one["rate_change"] = {{"status", "failed"}, {"rate", t.failedRate}, {"message", t.failure}};
      }
      if (i == 0) first = one;
    }
    // Set after the tracks: a key new to the object may move them.
    for (const char* key : {"rate", "seconds", "rate_chosen", "rate_offered", "rate_change"}) {
      if (first.contains(key)) now[key] = first[key];
    }
    return now.dump(-1, ' ', false, kReplace);
  }

  static int OnProgress(void* self, double fraction) {
    auto* job = static_cast<Job*>(self);
    if (fraction >= 0) job->progress = fraction;
    return job->cancelled ? 1 : 0;
  }
  static int OnRateProgress(void* self, double) {
    return static_cast<Job*>(self)->cancelled ? 1 : 0;
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
    queue_.push_back({found->second});
  }
  wake_.notify_one();
  return true;
}

std::optional<RepairView> RepairJobs::View(const std::string& id) const {
  std::lock_guard lock(mutex_);
  const auto found = jobs_.find(id);
  if (found == jobs_.end()) return std::nullopt;
  const Job& job = *found->second;
  return RepairView{job.state, job.progress.load(), job.name, job.ResultNow(), !job.tracks.empty()};
}

std::optional<TrackFile> RepairJobs::Output(const std::string& id, std::uint32_t track,
                                            std::uint32_t rate) const {
  std::lock_guard lock(mutex_);
  const auto found = jobs_.find(id);
  if (found == jobs_.end()) return std::nullopt;
  const Job& job = *found->second;
  const std::size_t index = job.Track(track);
  if (index == kNoTrack) return std::nullopt;
  const JobTrack& t = job.tracks[index];
  const auto made = t.made.find(rate == 0 ? t.rate : rate);
  if (made == t.made.end()) return std::nullopt;
  return TrackFile{job.dir / made->second.file, t.name};
}

std::optional<std::vector<float>> RepairJobs::Waveform(const std::string& id,
                                                       std::uint32_t track) const {
  std::lock_guard lock(mutex_);
  const auto found = jobs_.find(id);
  if (found == jobs_.end()) return std::nullopt;
  const std::size_t index = found->second->Track(track);
  if (index == kNoTrack) return std::nullopt;
  return found->second->tracks[index].peaks;
}

RateAnswer RepairJobs::ChangeRate(const std::string& id, std::uint32_t track, std::uint32_t rate) {
  {
    std::lock_guard lock(mutex_);
    const auto found = jobs_.find(id);
    if (found == jobs_.end()) return RateAnswer::kNoRepair;
    Job& job = *found->second;
    if (job.state != RepairState::kDone && job.state != RepairState::kFailed) {
      return RateAnswer::kBusy;
    }
    const std::size_t index = job.Track(track);
    if (index == kNoTrack) return RateAnswer::kNoTrack;
    JobTrack& t = job.tracks[index];
    if (t.changingTo != 0) return RateAnswer::kBusy;
    if (std::find(t.offered.begin(), t.offered.end(), rate) == t.offered.end()) {
      return RateAnswer::kNotOffered;
    }
    t.failure.clear();
    if (t.made.contains(rate)) {
      t.rate = rate;
      return RateAnswer::kSwitched;
    }
    t.changingTo = rate;
    ++job.changing;
    // A remux takes a moment: it goes before the repairs that wait, which take minutes.
    queue_.push_front({found->second, index, rate});
  }
  wake_.notify_one();
  return RateAnswer::kStarted;
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
    // A worker that uses the files removes them when it has let go of them.
    if (job->Busy()) return true;
    std::erase_if(queue_, [&](const Task& task) { return task.job == job; });
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
    Task task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      task = std::move(queue_.front());
      queue_.pop_front();
      if (task.rate == 0) task.job->state = RepairState::kRunning;
    }
    if (task.rate == 0) {
      Run(*task.job);
    } else {
      RunRateChange(*task.job, task.track, task.rate);
    }
    Release(*task.job);
  }
}

void RepairJobs::Release(Job& job) {
  bool removeNow = false;
  {
    std::lock_guard lock(mutex_);
    removeNow = (job.removed || stopping_) && !job.Busy();
  }
  if (removeNow) RemoveFiles(job.dir);
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
  options.track = job.settings.track;
  // An upload has no folder of the person's beside it; the optional healthy recording is the
  // page's way to give one.
  options.no_siblings = 1;
  options.progress = &Job::OnProgress;
  options.progress_user = &job;

  qm_result* result = nullptr;
  const qm_code code = qm_repair(damaged.c_str(), output.c_str(), &options, &result);
  std::vector<JobTrack> tracks;
  std::vector<qm_suggestion> suggestions;
  // The same fields as the tool's --json, with the names the client knows instead of our paths.
  Json json = Json::object();
  if (result != nullptr) {
    if (code == QM_REPAIRED) tracks = TracksOf(result, job.dir, job.name);
    suggestions.resize(qm_result_suggestions(result, nullptr, 0));
    qm_result_suggestions(result, suggestions.data(), suggestions.size());
    json = Json::parse(qm_result_json(result), nullptr, false);
    qm_result_free(result);
  }
  if (json.is_object()) {
    const UploadNames names = job.Names();
    for (const char* key : {"message", "hint"}) {
      if (json[key].is_string()) json[key] = InPageWords(json[key].get<std::string>(), names);
    }
    json["hint"] = PageHint(code, json.value("hint", ""), suggestions, names);
    json["input"] = job.name;
    json["output"] = tracks.empty() ? "" : tracks.front().name;
    auto file = [&](const std::string& name) {
      return name == kSampleFile ? names.sampleName : InPageWords(name, names);
    };
    auto fixFile = [&](Json& one) {
      if (one.contains("rate_file") && one["rate_file"].is_string()) {
        one["rate_file"] = file(one["rate_file"].get<std::string>());
      }
    };
    fixFile(json);
    if (json.contains("tracks")) {
      for (Json& one : json["tracks"]) {
        fixFile(one);
        const auto written = std::find_if(tracks.begin(), tracks.end(), [&](const JobTrack& t) {
          return t.number == one.value("track", 0u);
        });
        one["output"] = written == tracks.end() ? "" : written->name;
      }
    }
  }
  // The uploads are not needed any more; only the outputs stay for the page.
  std::error_code ignored;
  fs::remove(job.dir / kDamagedFile, ignored);
  fs::remove(job.dir / kSampleFile, ignored);

  std::lock_guard lock(mutex_);
  job.state =
      code == QM_REPAIRED || code == QM_NOT_DAMAGED ? RepairState::kDone : RepairState::kFailed;
  job.progress = 1;
  job.result = std::move(json);
  job.tracks = std::move(tracks);
  job.finishedAt = Clock::now();
}

void RepairJobs::RunRateChange(Job& job, std::size_t track, std::uint32_t rate) {
  fs::path repaired;
  UploadNames names;
  {
    std::lock_guard lock(mutex_);
    const JobTrack& t = job.tracks[track];
    repaired = job.dir / t.made.at(t.repairedRate).file;
    names = job.Names();
  }
  const fs::path target = repaired.parent_path() / RateFile(repaired.filename(), rate);
  qm_result* result = nullptr;
  qm_code code = QM_ERR_CANCELLED;
  if (!job.cancelled) {
    qm_options options;
    qm_options_init(&options);
    options.overwrite = 1;  // our own name: anything there is a leftover of ours
    options.progress = &Job::OnRateProgress;
    options.progress_user = &job;
    code = qm_change_rate(Utf8(repaired).c_str(), rate, Utf8(target).c_str(), &options, &result);
  }
  const double seconds = result != nullptr ? qm_result_seconds(result) : 0;
  const std::string message = result != nullptr ? qm_result_message(result) : "cancelled";
  qm_result_free(result);

  std::lock_guard lock(mutex_);
  JobTrack& t = job.tracks[track];
  t.changingTo = 0;
  --job.changing;
  if (code == QM_REPAIRED) {
    t.made[rate] = {target.filename(), seconds};
    t.rate = rate;
  } else {
    t.failedRate = rate;
    t.failure = InPageWords(message, names);
  }
}

}  // namespace quillmend::tool::serve
