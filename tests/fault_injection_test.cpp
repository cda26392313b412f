// Every call that a repair makes through the Env, failed in turn: for N = 0, 1, 2, ... the N-th
// call fails as the system would fail it, until a run meets no fault. Each run must return the
// code its fault calls for, leave the inputs alone, and leave the output folder as it found it,
// or, when repaired, with exactly the outputs added: never a work directory, never an
// intermediate file, never half an output.
#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>

#include "quillmend.h"
#include "support/fake_env.h"
#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::FakeEnv;
using Call = FakeEnv::Call;
using Snapshot = std::map<std::string, std::string>;

struct Method {
  const char* name;
  qm_method method;
  std::string (*sample)();  // null: none
};

void PrintTo(const Method& m, std::ostream* os) { *os << m.name; }

std::string RecorderSample() { return test::Media("recorder-sample.m4a"); }

const Method kMethods[] = {
    {"Exact", QM_METHOD_EXACT, nullptr},
    {"General", QM_METHOD_GENERAL, nullptr},
    {"Advanced", QM_METHOD_ADVANCED, RecorderSample},
};

const char* Name(Call call) {
  static constexpr const char* kNames[] = {"create", "append", "flush", "close",      "rename",
                                           "remove", "mkdir",  "list",  "free space", "spawn"};
  return kNames[int(call)];
}

bool IsUnder(const fs::path& path, const fs::path& directory) {
  const auto [end, unused] =
      std::mismatch(directory.begin(), directory.end(), path.begin(), path.end());
  return end == directory.end();
}

class FaultInjectionTest : public testing::TestWithParam<Method> {
 protected:
  void SetUp() override {
    qm_quiet_ffmpeg_log();  // the read-back of what a fault cut short says why, at length
    fs::create_directories(in_);
    // A recording cut before its index and broken off after a third of its audio: short, as
    // each run does again all that the runs before it did.
    test::ByteVector damaged = test::ReadFile(test::Media("recorder-cut.m4a"));
    damaged.resize(damaged.size() / 3);
    test::WriteFile(in_ / "damaged.m4a", damaged);
    if (GetParam().sample != nullptr) fs::copy_file(GetParam().sample(), in_ / "sample.m4a");
    // The output of a run that meets no fault: what a repaired run must add, byte for byte.
    PrepareOutput();
    FakeEnv env;
    ASSERT_EQ(Repair(env), QM_REPAIRED) << message_;
    output_ = *test::Snapshot(root_.path()).find("out/fixed.m4a");
  }

  // A fresh output folder: a file of the user's, and the work directory of a repair that was
  // killed, which the next repair into the folder removes.
  void PrepareOutput() {
    fs::remove_all(out_);
    fs::create_directories(abandoned_);
    test::WriteFile(out_ / "notes.txt", Bytes{}.Text("the user's"));
    test::WriteFile(abandoned_ / ".lock", Bytes{});
    test::WriteFile(abandoned_ / "repaired.m4a", Bytes{}.Text("half an output"));
  }

  qm_code Repair(FakeEnv& env) {
    qm_options options;
    qm_options_init(&options);
    options.method = GetParam().method;
    const std::string sample = test::U8(in_ / "sample.m4a");
    if (GetParam().sample != nullptr) options.sample_path = sample.c_str();
    qm_result* result = nullptr;
    qm_code code;
    {
      ScopedEnv scoped(&env);
      code = qm_repair(test::U8(in_ / "damaged.m4a").c_str(), test::U8(out_ / "fixed.m4a").c_str(),
                       &options, &result);
    }
    message_ = qm_result_message(result);
    qm_result_free(result);
    return code;
  }

  // What a run that met `fault` must return.
  qm_code Expected(const FakeEnv::Fault& fault) const {
    // The output was in place already, or the look for recordings beside the input or for an
    // earlier repair's leftovers failed: nothing the caller asked for is lost.
    if (fault.afterRename || IsUnder(fault.path, abandoned_) ||
        (fault.call == Call::kList && (fault.path == in_ || fault.path == out_))) {
      return QM_REPAIRED;
    }
    switch (fault.call) {
      case Call::kAppend:
      case Call::kFreeSpace:
        return QM_ERR_NO_SPACE;
      case Call::kSpawn:
        return QM_ERR_TRANSCODER;
      default:
        return QM_ERR_OUTPUT;
    }
  }

  // One run that fails call n; the fault it met, if any.
  std::optional<FakeEnv::Fault> RunFailing(long n, bool childRuns) {
    PrepareOutput();
    const Snapshot before = test::Snapshot(root_.path());
    FakeEnv env(n, childRuns);
    const qm_code code = Repair(env);
    const std::optional<FakeEnv::Fault> fault = env.Met();
    const qm_code expected = fault ? Expected(*fault) : QM_REPAIRED;
    std::ostringstream call;
    call << "call " << n << (childRuns ? " (the child runs)" : "");
    if (fault) call << ", " << Name(fault->call) << " " << test::U8(fault->path);
    call << ": " << message_;
    EXPECT_EQ(code, expected) << call.str();
    EXPECT_TRUE(code == QM_REPAIRED || !message_.empty()) << call.str();

    Snapshot expectedAfter = before;
    // Only the look for what an earlier repair left can miss it; whoever looks next removes it.
    if (!fault || fault->call != Call::kList || fault->path != out_) {
      std::erase_if(expectedAfter,
                    [](const auto& entry) { return entry.first.starts_with("out/.quillmend-"); });
    }
    if (code == QM_REPAIRED) expectedAfter.insert(output_);
    EXPECT_EQ(test::Snapshot(root_.path()), expectedAfter) << call.str();
    return fault;
  }

  test::TempDir root_;
  const fs::path in_ = root_.path() / "in", out_ = root_.path() / "out";
  const fs::path abandoned_ = out_ / ".quillmend-abandoned";
  std::pair<std::string, std::string> output_;
  std::string message_;
};

TEST_P(FaultInjectionTest, EveryFailedCallGivesItsCodeAndLeavesNothingBehind) {
  const auto start = std::chrono::steady_clock::now();
  long n = 0;
  for (; !HasFailure(); ++n) {
    const std::optional<FakeEnv::Fault> fault = RunFailing(n, false);
    if (!fault) break;
    // A transcoder that fails may have written part of its output first.
    if (fault->call == Call::kSpawn) RunFailing(n, true);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << GetParam().name << ": " << n << " calls through the Env, each failed in turn ("
            << seconds << " s)\n";
  EXPECT_GT(n, 5);
}

INSTANTIATE_TEST_SUITE_P(Methods, FaultInjectionTest, testing::ValuesIn(kMethods),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmend
