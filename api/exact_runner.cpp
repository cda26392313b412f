// The exact repair's runner: each sound track the walk found into a file of its own.
#include "output.h"
#include "paths.h"
#include "repair.h"
#include "verify.h"
#include "words.h"
#include "workspace.h"

namespace quillmend::api {
namespace {

// The output frame indexes of one stream that lie next to a damaged stretch: where damage that
// left a frame's syntax standing would show when the output is decoded.
std::vector<std::uint64_t> NearDamage(const exact::WalkResult& walk, std::size_t stream,
                                      bool keepTiming) {
  std::vector<std::uint64_t> indexes;
  std::size_t nextDamage = 0;
  std::uint64_t written = 0;
  for (std::size_t i = 0; i <= walk.frames.size(); ++i) {
    while (nextDamage < walk.damage.size() && walk.damage[nextDamage].framesBefore <= i) {
      indexes.push_back(written);
      if (keepTiming && written > 0) written += walk.damage[nextDamage].estimatedFrames;
      ++nextDamage;
    }
    if (i < walk.frames.size() && walk.frames[i].stream == stream) ++written;
  }
  return indexes;
}

}  // namespace

Status RunExact(const Request& q, Walked& w, const Workspace& workspace, Progress& progress,
                qm_result* r) {
  const exact::WalkResult& walk = w.walk;
  const std::uint32_t count = std::uint32_t(walk.streams.size());
  std::vector<std::size_t> chosen;
  if (q.options.track != 0) {
    if (q.options.track > count) {
      std::vector<qm_suggestion> tracks;
      for (std::uint32_t t = 1; t <= count; ++t) tracks.push_back({QM_TRY_TRACK, t});
      r->suggestions = tracks;
      return Status::Failed(Status::Code::kArgument,
                            FileName(q.input) + " holds " + std::to_string(count) + " sound track" +
                                (count == 1 ? "" : "s") + ": there is no track " +
                                std::to_string(q.options.track),
                            "choose a track it holds, or all of them");
    }
    chosen.push_back(q.options.track - 1);
  } else {
    for (std::size_t s = 0; s < count; ++s) chosen.push_back(s);
  }

  const double start = 0.5, span = 0.4;
  for (std::size_t k = 0; k < chosen.size(); ++k) {
    const std::size_t stream = chosen[k];
    const exact::StreamParams& p = walk.streams[stream];
    qm_result* t = r;
    if (k > 0) {
      r->tracks.push_back(std::make_unique<qm_result>());
      t = r->tracks.back().get();
      t->method = r->method;
      t->input = r->input;
    }
    t->track = std::uint32_t(stream + 1);
    TakeStream(p, t);
    t->output = k == 0 ? q.output : TrackPath(q.output, t->track);
    if (k > 0) {
      if (Status s = CheckOutput(q, t->output, ToPath(t->output)); !s.ok()) return s;
    }
    std::uint64_t written = 0;
    const fs::path file = workspace.Output(t->track);
    const Status wrote = exact::WriteM4a(
        w.file->Data(), walk, stream, q.options.keep_timing != 0, file, &written,
        [&](double f) { return progress.Report(start + span * (double(k) + f) / chosen.size()); },
        [&m = *w.file](std::uint64_t begin, std::uint64_t end) { m.ReleasePages(begin, end); });
    if (wrote.code() == Status::Code::kCancelled) return wrote;
    if (!wrote.ok()) return WriteFailure(q, wrote.message());
    std::uint64_t frames = 0;
    for (const exact::FrameRef& f : walk.frames) frames += f.stream == stream ? 1 : 0;
    t->silentFrames = written - frames;

    Expected e;
    e.method = QM_METHOD_EXACT;
    e.codec = p.codec == exact::Codec::kAlac ? "alac" : "aac";
    e.frames = written;
    e.rate = p.rate;
    e.rateKnown = true;
    // A parametric-stereo stream decodes to two channels from its one.
    e.channels = p.ps ? 2 : p.channels;
    e.nearDamage = NearDamage(walk, stream, q.options.keep_timing != 0);
    if (Status s = Verify(ToUtf8(file), e, t); !s.ok()) return s;
  }
  return Status::Ok();
}

}  // namespace quillmend::api
