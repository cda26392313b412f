// The local page's JSON API, as a client meets it: the real `quillmend serve`
// on a free loopback port, a real HTTP client, and FFmpeg reading back what it
// gives.
#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <thread>

#include "support/recordings.h"
#include "support/support.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#endif

namespace quillmend {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kToken[] = "test-token-0123456789";
#ifdef _WIN32
const std::string kCli = test::ProgramDirectory() + "\\quillmend.exe";
#else
const std::string kCli = QUILLMEND_CLI;
#endif

void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  ::_putenv_s(name, value.c_str());  // "" removes it
#else
  if (value.empty()) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value.c_str(), 1);
  }
#endif
}

// Environment variables for the children started while it lives.
class Environment {
 public:
  Environment(std::initializer_list<std::pair<const char*, std::string>> values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old != nullptr ? old : "");
      SetEnvironment(name, value);
    }
  }
  ~Environment() {
    for (const auto& [name, value] : saved_) SetEnvironment(name, value);
  }

 private:
  std::vector<std::pair<const char*, std::string>> saved_;
};

// The token, and the temporary directory where the server keeps its uploads.
Environment ServerEnvironment(const std::string& temp) {
  return {{"QUILLMEND_TOKEN", kToken}, {"TMPDIR", temp}, {"TMP", temp}, {"TEMP", temp}};
}

// Starts `quillmend serve`: the port it listens on, 0 when it did not start.
int StartServer(test::Child& child, const std::string& arguments, const std::string& temp) {
  const Environment environment = ServerEnvironment(temp);
  const std::string first = child.Start(kCli, "serve " + arguments);
  std::smatch match;
  const std::regex address(R"(^Quillmend is at http://127\.0\.0\.1:(\d+)/\?token=(\S+))");
  if (!std::regex_search(first, match, address) || match[2] != kToken) return 0;
  return std::stoi(match[1]);
}

// A client socket of our own, for clients that no HTTP library would make:
// slow, silent, cut.
class RawClient {
 public:
  explicit RawClient(int port) {
#ifndef _WIN32
    ::signal(SIGPIPE,
             SIG_IGN);  // a send after the server ended the connection fails instead
#endif
    httplib::Error error;
    socket_ = httplib::detail::create_client_socket("127.0.0.1", "", port, AF_INET, true, nullptr,
                                                    5, 0, 0, 1000, 5, 0, "", error);
  }
  ~RawClient() {
    if (socket_ != INVALID_SOCKET) httplib::detail::close_socket(socket_);
  }
  bool Send(const std::string& bytes) {
    return httplib::detail::send_socket(socket_, bytes.data(), bytes.size(), 0) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Whether the server ended the connection: all it said is read, and then
  // nothing more comes.
  // A reset counts too: a server that closes with bytes of ours unread resets the connection.
  bool Ended() {
    char buffer[512];
    for (;;) {
      const ssize_t n = httplib::detail::read_socket(socket_, buffer, sizeof buffer, 0);
      if (n <= 0) return n == 0 || !NothingYet();
      said_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  // The head of the next answer, its body read and dropped; "" when none came
  // in time.
  std::string AnswerHead(Clock::duration within) {
    std::size_t end = 0;
    std::size_t length = 0;
    auto complete = [&] {
      if ((end = said_.find("\r\n\r\n")) == std::string::npos) return false;
      end += 4;
      const std::string head = said_.substr(0, end);
      std::smatch match;
      const std::regex contentLength("Content-Length: (\\d+)");
      length = std::regex_search(head, match, contentLength) ? std::stoul(match[1]) : 0;
      return said_.size() >= end + length;
    };
    const Clock::time_point deadline = Clock::now() + within;
    char buffer[512];
    while (!complete()) {
      if (Clock::now() > deadline) return "";
      const ssize_t n = httplib::detail::read_socket(socket_, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && !NothingYet())) return "";
      if (n > 0) said_.append(buffer, static_cast<std::size_t>(n));
    }
    std::string head = said_.substr(0, end);
    said_.erase(0, end + length);
    return head;
  }
  const std::string& said() const { return said_; }
  bool valid() const { return socket_ != INVALID_SOCKET; }

 private:
  // Whether the last receive failed only because nothing had come within its time-out.
  static bool NothingYet() {
#ifdef _WIN32
    const int error = ::WSAGetLastError();
    return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
  }

  socket_t socket_ = INVALID_SOCKET;
  std::string said_;
};

class ServerTest : public testing::Test {
 protected:
  void SetUp() override {
    port_ = StartServer(server_, "--max-upload-mb 1", test::U8(temp_.path()));
    ASSERT_NE(port_, 0) << "the server did not start";
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_bearer_token_auth(kToken);
  }
  void TearDown() override {
    const int status = server_.Stop();
    if (port_ != 0) {
      EXPECT_EQ(status, 0) << "the server's exit status when asked to stop";
    }
  }

  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Uploads a file and waits for its repair to finish: the last status.
  Json Repair(const std::string& content, httplib::MultipartFormDataItems extra = {},
              const std::string& name = "take 1.m4a") {
    httplib::Client client("127.0.0.1", port_);  // one per thread
    client.set_bearer_token_auth(kToken);
    extra.push_back({"file", content, name, "audio/mp4"});
    extra.push_back({"keep_timing", "1", "", ""});
    const auto posted = client.Post("/api/repairs", extra);
    if (!posted || posted->status != 202) return {{"upload", posted ? posted->status : -1}};
    const std::string id = Json::parse(posted->body).at("id");
    for (int i = 0; i < 600; ++i) {
      const auto got = client.Get("/api/repairs/" + id);
      if (!got || got->status != 200) return {{"poll", got ? got->status : -1}};
      Json status = Json::parse(got->body);
      if (status["status"] == "done" || status["status"] == "failed") return status;
      std::this_thread::sleep_for(50ms);
    }
    return {{"timeout", id}};
  }

  std::string Recording() { return Contents(test::Media("recorder-cut.m4a")); }

  static std::string Contents(const std::string& path) {
    const test::ByteVector bytes = test::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
  }

  // A file's bytes before its index, as a recorder that lost power leaves them.
  static std::string Cut(const std::string& path) {
    const test::ByteVector bytes = test::CutBefore(test::ReadFile(path), "moov");
    return std::string(bytes.begin(), bytes.end());
  }

  // Polls a repair until no change of its tracks' rates is under way.
  Json Settled(const std::string& id) {
    for (int i = 0; i < 600; ++i) {
      const auto got = client_->Get("/api/repairs/" + id);
      if (!got || got->status != 200) return {{"poll", got ? got->status : -1}};
      Json status = Json::parse(got->body);
      const bool changing =
          std::any_of(status["tracks"].begin(), status["tracks"].end(), [](const Json& t) {
            return t.contains("rate_change") && t["rate_change"]["status"] == "running";
          });
      if (!changing) return status;
      std::this_thread::sleep_for(20ms);
    }
    return {{"timeout", id}};
  }

  // A call that changes a repair, as the page makes it: from its own origin.
  httplib::Result PostRate(const std::string& id, const std::string& body,
                           const std::string& type = "application/json",
                           const std::string& origin = "") {
    return client_->Post("/api/repairs/" + id + "/rate",
                         {{"Origin", origin.empty() ? Origin() : origin}}, body, type.c_str());
  }

  // Where the output of a track (at a rate) was saved, read back by the test.
  std::string Download(const std::string& id, const std::string& query, const std::string& name) {
    const auto got = client_->Get("/api/repairs/" + id + "/output" + query);
    if (!got || got->status != 200) return "";
    const auto path = work_.path() / name;
    test::WriteFile(path, test::ByteVector(got->body.begin(), got->body.end()));
    return test::U8(path);
  }

  test::TempDir temp_;  // the server's temporary directory
  test::Child server_;
  int port_ = 0;
  std::unique_ptr<httplib::Client> client_;
  test::TempDir work_;
};

TEST_F(ServerTest, RepairsUploadDownloadAndDelete) {
  const Json status = Repair(Recording());
  ASSERT_EQ(status.value("status", ""), "done") << status.dump();
  EXPECT_EQ(status["repaired"], true);
  EXPECT_EQ(status["input"], "take 1.m4a");
  EXPECT_EQ(status["output"], "take 1-repaired.m4a");
  const std::string base = "/api/repairs/" + status["id"].get<std::string>();

  const auto output = client_->Get(base + "/output?download=1");
  ASSERT_TRUE(output);
  ASSERT_EQ(output->status, 200);
  EXPECT_NE(output->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
  const auto path = work_.path() / "out.m4a";
  test::WriteFile(path, test::ByteVector(output->body.begin(), output->body.end()));
  const test::MediaInfo media = test::ReadMedia(test::U8(path));
  EXPECT_EQ(media.streams, std::vector<std::string>{"audio:aac"});
  EXPECT_NEAR(media.seconds, status["seconds"].get<double>(), 0.1);
  EXPECT_EQ(test::CountDecodeErrors(test::U8(path)), 0);

  const auto waveform = client_->Get(base + "/waveform");
  ASSERT_TRUE(waveform);
  const Json peaks = Json::parse(waveform->body).at("peaks");
  EXPECT_GT(peaks.size(), 100u);
  EXPECT_GT(*std::max_element(peaks.begin(), peaks.end()), 0.05);

  EXPECT_EQ(client_->Delete(base)->status, 204);
  EXPECT_EQ(client_->Get(base)->status, 404);
  EXPECT_EQ(client_->Get(base + "/output")->status, 404);
}

TEST_F(ServerTest, ByteRangesOfTheOutput) {
  const Json status = Repair(Recording());
  ASSERT_EQ(status.value("status", ""), "done") << status.dump();
  const std::string path = "/api/repairs/" + status["id"].get<std::string>() + "/output";
  const auto whole = client_->Get(path);
  ASSERT_TRUE(whole);
  const std::string& file = whole->body;
  const std::string size = std::to_string(file.size());
  ASSERT_GT(file.size(), 1000u);

  struct Case {
    std::string range;
    int status;
    std::string contentRange;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"bytes=0-99", 206, "bytes 0-99/" + size, file.substr(0, 100)},
      {"bytes=100-", 206, "bytes 100-" + std::to_string(file.size() - 1) + "/" + size,
       file.substr(100)},
      {"bytes=-10", 206,
       "bytes " + std::to_string(file.size() - 10) + "-" + std::to_string(file.size() - 1) + "/" +
           size,
       file.substr(file.size() - 10)},
      {"bytes=0-99999999", 206, "bytes 0-" + std::to_string(file.size() - 1) + "/" + size, file},
      // Past the end, and past what 64 bits hold.
      {"bytes=" + size + "-", 416, "bytes */" + size, ""},
      {"bytes=99999999999999999999999-", 416, "bytes */" + size, ""},
      {"bytes=-0", 416, "bytes */" + size, ""},
      // Several ranges at once: the whole file, as one answer.
      {"bytes=0-9,20-29", 200, "", file},
      {"bytes=0-0,-1,0-", 200, "", file},
      // What cannot be read as a range is left aside.
      {"bytes=5-3", 200, "", file},
      {"lines=1-2", 200, "", file},
  };
  for (const Case& c : cases) {
    const auto res = client_->Get(path, {{"Range", c.range}});
    ASSERT_TRUE(res) << c.range;
    EXPECT_EQ(res->status, c.status) << c.range;
    EXPECT_EQ(res->get_header_value("Content-Range"), c.contentRange) << c.range;
    EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(c.body.size())) << c.range;
    EXPECT_TRUE(res->body == c.body) << c.range << ": " << res->body.size() << " bytes";
  }
}

// The bytes of each frame of a file's stream, as FFmpeg's demuxer reads them.
std::vector<test::ByteVector> Frames(const std::string& path, int stream = 0) {
  std::vector<test::ByteVector> frames;
  for (const auto& packet : test::ReadMedia(path, stream).packets) frames.push_back(packet.data);
  return frames;
}

// Silence tells nothing of its rate: the frames fit 48, 44.1 and 32 kHz alike, and the repair
// can only guess. The page offers the others, and one call writes the same frames at another.
TEST_F(ServerTest, RateNotCertainIsChosenWithOneCall) {
  const std::string quiet = test::Make({.rate = 44100, .content = test::Content::kSilence});
  const Json status = Repair(Cut(quiet));
  ASSERT_EQ(status.value("status", ""), "done") << status.dump();
  const std::string id = status["id"];
  ASSERT_EQ(status["rate_confidence"], "guess") << status.dump();
  const std::vector<std::uint32_t> offered = status["rate_offered"];
  ASSERT_GE(offered.size(), 2u);
  EXPECT_EQ(offered[0], status["rate"]) << "the repair's own rate first, to go back to";
  EXPECT_EQ(status["tracks"][0]["rate_offered"], status["rate_offered"]);
  const std::string repaired = Download(id, "", "repaired.m4a");
  ASSERT_NE(repaired, "");

  const std::uint32_t chosen = offered[1];
  const auto started = PostRate(id, R"({"rate": )" + std::to_string(chosen) + "}");
  ASSERT_TRUE(started);
  EXPECT_TRUE(started->status == 202 || started->status == 200) << started->status;
  const Json changed = Settled(id);
  EXPECT_EQ(changed["rate"], chosen) << changed.dump();
  EXPECT_EQ(changed["rate_chosen"], true);
  EXPECT_FALSE(changed.contains("rate_change")) << changed.dump();
  EXPECT_EQ(changed["tracks"][0]["rate"], chosen);

  // The output now: that rate in its header, the very frames of the repair, and the length
  // the state says.
  const std::string now = Download(id, "", "now.m4a");
  const test::MediaInfo media = test::ReadMedia(now);
  EXPECT_EQ(media.rate, static_cast<int>(chosen));
  EXPECT_EQ(Frames(repaired).size(), status["frames"]);
  EXPECT_TRUE(Frames(now) == Frames(repaired));
  EXPECT_NEAR(media.seconds, changed["seconds"].get<double>(), 0.05);
  const auto disposition = client_->Get("/api/repairs/" + id + "/output?download=1");
  EXPECT_NE(disposition->get_header_value("Content-Disposition").find("take 1-repaired.m4a"),
            std::string::npos);

  // Back to the repair's own rate, a form as a plain HTML form sends it: nothing to write.
  const auto back = PostRate(id, "rate=" + std::to_string(offered[0]) + "&track=1",
                             "application/x-www-form-urlencoded");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->status, 200);
  EXPECT_EQ(Json::parse(back->body)["rate_chosen"], false);
  EXPECT_TRUE(test::ReadFile(Download(id, "", "back.m4a")) == test::ReadFile(repaired));
  EXPECT_EQ(test::ReadMedia(Download(id, "?rate=" + std::to_string(chosen), "kept.m4a")).rate,
            static_cast<int>(chosen))
      << "each rate's recording stays for the player";

  struct Refused {
    std::string body;
    int status;
  };
  const std::vector<Refused> refused = {
      {R"({"rate": 22050})", 400},  // valid, but not one the frames fit
      {R"({"rate": 12345})", 400},
      {R"({"rate": "fast"})", 400},
      {R"({"rate": -44100})", 400},
      {R"({"rate": 44100.5})", 400},
      {R"({"rate": 44100, "track": 2})", 400},
      {"{}", 400},
      {"[44100]", 400},
      {R"({"rate": 44100, "pad": ")" + std::string(2000, 'x') + "\"}", 413},
  };
  for (const Refused& r : refused) {
    const auto res = PostRate(id, r.body);
    ASSERT_TRUE(res) << r.body;
    EXPECT_EQ(res->status, r.status) << r.body.substr(0, 40);
  }
  const std::string body = R"({"rate": )" + std::to_string(chosen) + "}";
  EXPECT_EQ(PostRate(id, body, "application/json", "http://evil.example")->status, 403);
  EXPECT_EQ(PostRate("0123456789abcdef0123456789abcdef", body)->status, 404);

  // A repair that has not finished has no rate to change yet. The advanced method runs the
  // transcoder: an exact repair of this file can be done before the next request arrives.
  httplib::Client other("127.0.0.1", port_);
  other.set_bearer_token_auth(kToken);
  const auto posted = other.Post("/api/repairs",
                                 {{"file", Recording(), "slow.m4a", ""},
                                  {"sample", Contents(test::Media("recorder.m4a")), "take.m4a", ""},
                                  {"method", "advanced", "", ""}});
  ASSERT_TRUE(posted);
  EXPECT_EQ(PostRate(Json::parse(posted->body)["id"], body)->status, 409);
}

// Two mono tracks of one setting, as a recorder with two microphones keeps them, made once.
std::string TwoTracks(const std::string& name, int seconds, int frequency) {
  const std::filesystem::path path = test::MediaDirectory() / name;
  if (std::filesystem::exists(path)) return test::U8(path);
  std::filesystem::create_directories(test::MediaDirectory());
  const std::string part =
      test::U8(test::MediaDirectory() / ("part-" + std::to_string(std::random_device{}()) + name));
  const std::string length = std::to_string(seconds);
  EXPECT_EQ(test::Run(test::FfmpegCommand() + "-f lavfi -i sine=f=" + std::to_string(frequency) +
                      ":r=48000:d=" + length + " -f lavfi -i anoisesrc=r=48000:d=" + length +
                      ":a=0.1 -map 0 -map 1 -c:a aac -ac 1 -b:a 96k " + test::Quote(part)),
            0);
  std::error_code ignored;
  std::filesystem::rename(std::filesystem::u8path(part), path, ignored);
  std::filesystem::remove(std::filesystem::u8path(part), ignored);
  return test::U8(path);
}

TEST_F(ServerTest, EachSoundTrackIsAResultOfItsOwn) {
  const std::string two = TwoTracks("two-tracks.mp4", 6, 300);
  const std::string sample = TwoTracks("two-tracks-sample.mp4", 3, 500);

  // Without a healthy recording the two cannot be told apart: the page says what to add.
  const Json alone = Repair(Cut(two), {}, "two.mp4");
  ASSERT_EQ(alone.value("status", ""), "failed") << alone.dump();
  EXPECT_EQ(alone["code"], "needs-sample");
  EXPECT_EQ(alone["hint"],
            "add a healthy recording made by the same program, with the same sound tracks, under "
            "More options, and try again: it tells the tracks apart");

  const Json status = Repair(Cut(two), {{"sample", Contents(sample), "short.mp4", ""}}, "two.mp4");
  ASSERT_EQ(status.value("status", ""), "done") << status.dump();
  const std::string id = status["id"];
  ASSERT_EQ(status["tracks"].size(), 2u) << status.dump();
  EXPECT_EQ(status["output"], "two-repaired.m4a");
  EXPECT_EQ(status["rate_file"], "short.mp4");
  for (int i = 0; i < 2; ++i) {
    const Json& track = status["tracks"][i];
    EXPECT_EQ(track["track"], i + 1);
    EXPECT_EQ(track["output"], i == 0 ? "two-repaired.m4a" : "two-repaired-track2.m4a");
    EXPECT_EQ(track["rate_file"], "short.mp4");
    EXPECT_EQ(track["rate_offered"], Json::array()) << "a rate from the sample is certain";

    // Each track's download: its own name, and the frames of its stream in the healthy file.
    const std::string query = "?track=" + std::to_string(i + 1);
    const auto got = client_->Get("/api/repairs/" + id + "/output" + query + "&download=1");
    ASSERT_TRUE(got);
    EXPECT_NE(got->get_header_value("Content-Disposition").find(track["output"].get<std::string>()),
              std::string::npos);
    const std::string path = Download(id, query, "track" + std::to_string(i + 1) + ".m4a");
    EXPECT_EQ(test::ReadMedia(path).streams, std::vector<std::string>{"audio:aac"});
    EXPECT_EQ(Frames(path).size(), track["frames"]);
    EXPECT_TRUE(Frames(path) == Frames(two, i)) << "track " << i + 1;
    const auto waveform = client_->Get("/api/repairs/" + id + "/waveform" + query);
    ASSERT_TRUE(waveform);
    EXPECT_GT(Json::parse(waveform->body)["peaks"].size(), 100u);
  }
  EXPECT_EQ(client_->Get("/api/repairs/" + id + "/output?track=3")->status, 404);
  EXPECT_EQ(client_->Get("/api/repairs/" + id + "/output?track=x")->status, 400);
  EXPECT_EQ(PostRate(id, R"({"rate": 44100, "track": 2})")->status, 400) << "not offered";
}

TEST_F(ServerTest, NonAudioFailsWithAReason) {
  const Json status = Repair(std::string(50000, 'x'));
  ASSERT_EQ(status.value("status", ""), "failed") << status.dump();
  EXPECT_EQ(status["repaired"], false);
  EXPECT_NE(status["message"], "");
  const std::string output = "/api/repairs/" + status["id"].get<std::string>() + "/output";
  EXPECT_EQ(client_->Get(output)->status, 404);
}

// The library speaks of the files it was given and suggests what to do next; the page names
// the person's files, and its own controls for what is suggested.
TEST_F(ServerTest, MessagesNameThePagesFilesAndControls) {
  const Json badSample =
      Repair(Recording(), {{"sample", std::string(5000, 'x'), "old take.m4a", ""}});
  ASSERT_EQ(badSample.value("status", ""), "failed") << badSample.dump();
  EXPECT_EQ(badSample["message"],
            "the healthy recording old take.m4a holds no sound track whose settings can be read");
  EXPECT_EQ(badSample["hint"],
            "choose another healthy recording made by the same recorder under More options, or "
            "remove it there");

  const Json noSample = Repair(Recording(), {{"method", "advanced", "", ""}});
  ASSERT_EQ(noSample.value("status", ""), "failed") << noSample.dump();
  EXPECT_EQ(noSample["message"],
            "the advanced repair needs a healthy recording from the same recorder");
  EXPECT_EQ(noSample["hint"],
            "add a healthy recording from the same recorder under More options, or choose the "
            "recommended way to repair there");
  EXPECT_EQ(noSample["suggestions"],
            Json::parse(R"([{"action": "sample"}, {"action": "method", "method": "exact"}])"));

  // A rate the frames do not fit: the rates they do, as the rate's own control.
  const Json wrongRate = Repair(Recording(), {{"rate", "16000", "", ""}});
  ASSERT_EQ(wrongRate.value("status", ""), "failed") << wrongRate.dump();
  const std::string rateHint = wrongRate["hint"];
  EXPECT_TRUE(rateHint.starts_with("choose ") &&
              rateHint.ends_with(" as the sampling rate under More options, or let it find the "
                                 "rate by itself"))
      << rateHint;
  EXPECT_NE(rateHint.find("44.1"), std::string::npos) << rateHint;

  const Json notAudio = Repair(std::string(50000, 'x'));
  EXPECT_NE(notAudio["message"].get<std::string>().find("take 1.m4a"), std::string::npos)
      << notAudio["message"];
  EXPECT_EQ(notAudio["suggestions"], Json::array());
  EXPECT_NE(notAudio["hint"], "") << "the library's own words where nothing is suggested";

  for (const Json& status : {badSample, noSample, wrongRate, notAudio}) {
    for (const char* key : {"message", "hint"}) {
      const std::string text = status[key];
      for (const char* ours : {"--", "sample.m4a", "damaged.m4a", "quillmend-serve-",
                               "exact method", "leave it out", "give "}) {
        EXPECT_EQ(text.find(ours), std::string::npos) << key << ": " << text;
      }
    }
  }
}

// The person's own file name is shown as it is, even where it reads like one of ours.
TEST_F(ServerTest, FileNamesLikeOursStayTheirs) {
  const Json status = Repair(std::string(50000, 'x'), {}, "sample.m4a and damaged.m4a");
  ASSERT_EQ(status.value("status", ""), "failed") << status.dump();
  EXPECT_EQ(status["message"], "no audio was found in sample.m4a and damaged.m4a");
}

TEST_F(ServerTest, TwoUploadsAtOnce) {
  Json first, second;
  std::thread other([&] { first = Repair(Recording()); });
  second = Repair(Recording());
  other.join();
  EXPECT_EQ(first.value("status", ""), "done") << first.dump();
  EXPECT_EQ(second.value("status", ""), "done") << second.dump();
  EXPECT_NE(first["id"], second["id"]);
  EXPECT_EQ(first["frames"], second["frames"]);
}

struct Refusal {
  const char* name;
  const char* method;
  httplib::Headers headers;  // beside Host
  std::string path;
  int status;
};

TEST_F(ServerTest, Refusals) {
  const std::string id = "/api/repairs/0123456789abcdef0123456789abcdef";
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  const std::string bearer = std::string("Bearer ") + kToken;
  const std::vector<Refusal> cases = {
      {"no token", "GET", {}, id, 401},
      {"wrong token", "GET", {{"Authorization", "Bearer wrong"}}, id, 401},
      {"token as query, which the API does not take", "GET", {}, id + "?token=" + kToken, 401},
      {"right token", "GET", {{"Authorization", bearer}}, id, 404},
      {"other host name", "GET", {{"Host", "rebound.example:" + std::to_string(port_)}}, "/", 421},
      {"page for this host", "GET", {}, "/", 200},
      {"another site's page",
       "GET",
       {{"Authorization", bearer}, {"Sec-Fetch-Site", "cross-site"}},
       id,
       403},
      {"another port of this host",
       "GET",
       {{"Authorization", bearer}, {"Sec-Fetch-Site", "same-site"}},
       id,
       403},
      {"delete from another origin",
       "DELETE",
       {{"Authorization", bearer}, {"Origin", "http://evil.example"}},
       id,
       403},
      {"delete from a sandboxed page",
       "DELETE",
       {{"Authorization", bearer}, {"Origin", "null"}},
       id,
       403},
      {"delete from the page",
       "DELETE",
       {{"Authorization", bearer}, {"Origin", Origin()}},
       id,
       404},
      {"delete by a program", "DELETE", {{"Authorization", bearer}}, id, 404},
      {"a body where none is taken", "GET", {{"Content-Length", "5"}}, "/", 413},
  };
  for (const Refusal& c : cases) {
    httplib::Client client("127.0.0.1", port_);
    httplib::Request req;
    req.method = c.method;
    req.path = c.path;
    req.headers = c.headers;
    if (!req.has_header("Host")) req.set_header("Host", host);
    if (req.has_header("Content-Length")) req.body = "12345";
    const auto res = client.send(req);
    ASSERT_TRUE(res) << c.name << ": " << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status) << c.name;
  }
}

TEST_F(ServerTest, UploadsFromOtherOriginsAreRefused) {
  const httplib::MultipartFormDataItems form = {{"file", Recording(), "take.m4a", "audio/mp4"}};
  auto post = [&](const httplib::Headers& headers) {
    httplib::Client client("127.0.0.1", port_);
    client.set_bearer_token_auth(kToken);
    const auto res = client.Post("/api/repairs", headers, form);
    return res ? res->status : -1;
  };
  EXPECT_EQ(post({{"Origin", "http://evil.example"}}), 403);
  EXPECT_EQ(post({{"Origin", "http://localhost:" + std::to_string(port_ + 1)}}), 403);
  EXPECT_EQ(post({{"Origin", Origin()}, {"Sec-Fetch-Site", "cross-site"}}), 403);
  EXPECT_EQ(post({{"Origin", Origin()}}), 202);
  EXPECT_EQ(post({}), 202) << "a program with the token in its header";

  const auto large = client_->Post("/api/repairs", {{"file", std::string(3 << 20, 'x'), "", ""}});
  ASSERT_TRUE(large);
  EXPECT_EQ(large->status, 413);
}

TEST_F(ServerTest, WrongTokensAreRefusedWith429) {
  // A browser that logged in before the guessing began.
  httplib::Client browser("127.0.0.1", port_);
  const auto login = browser.Get(std::string("/?token=") + kToken);
  ASSERT_TRUE(login);
  ASSERT_EQ(login->status, 303);
  const std::string scope = login->get_header_value("Location");
  const std::string cookie = login->get_header_value("Set-Cookie");
  const httplib::Headers session = {{"Cookie", cookie.substr(0, cookie.find(';'))}};

  httplib::Client guesser("127.0.0.1", port_);
  int tries = 0;
  int status = 0;
  std::string retryAfter;
  for (; tries < 50 && status != 429; ++tries) {
    const auto res =
        guesser.Get("/api/session", {{"Authorization", "Bearer guess-" + std::to_string(tries)}});
    ASSERT_TRUE(res);
    status = res->status;
    retryAfter = res->get_header_value("Retry-After");
  }
  EXPECT_EQ(status, 429);
  EXPECT_LE(tries, 12) << "wrong tokens before the first 429";
  EXPECT_GE(std::atoi(retryAfter.c_str()), 1);
  // While refused, even the right token is not looked at: no answer tells a
  // right guess.
  EXPECT_EQ(client_->Get("/api/session")->status, 429);
  EXPECT_EQ(guesser.Get(std::string("/?token=") + kToken)->status, 429);
  // The page that logged in goes on.
  EXPECT_EQ(browser.Get(scope + "api/session", session)->status, 204);
}

TEST(ServerStart, TokensThatCannotBeUsedAreRefused) {
  test::TempDir dir;
  const std::string cli = test::Quote(kCli) + " serve ";
  EXPECT_EQ(test::Run(cli + "--token short-token-123"), 2) << "15 characters";
  EXPECT_EQ(test::Run(cli + "--token " + std::string(16, '+')), 2);
  {
    const Environment environment{{"QUILLMEND_TOKEN", "short"}};
    EXPECT_EQ(test::Run(cli), 2);
  }
  EXPECT_EQ(test::Run(cli + "--token-file " + test::Quote(dir.File("missing"))), 2);
#ifndef _WIN32
  const std::string file = dir.File("token");
  std::ofstream(file) << kToken << "\n";
  ::chmod(file.c_str(), 0644);
  EXPECT_EQ(test::Run(cli + "--token-file " + test::Quote(file)), 2) << "others may read it";
  ::chmod(file.c_str(), 0600);
  test::Child server;
  EXPECT_NE(server.Start(kCli, "serve --token-file " + test::Quote(file)).find(kToken),
            std::string::npos);
#endif
}

// Slow clients each hold a connection, not a thread: the page goes on
// answering, and the server ends each of them once its head is overdue.
TEST_F(ServerTest, SlowClientsLeaveThePageAnswered) {
  constexpr int kSlow = 60;
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < kSlow; ++i) {
    slow.push_back(std::make_unique<RawClient>(port_));
    ASSERT_TRUE(slow.back()->valid());
    ASSERT_TRUE(slow.back()->Send("GET /api/session HTTP/1.1\r\n"));
  }
  std::vector<double> milliseconds;
  const Clock::time_point start = Clock::now();
  for (int second = 0; second < 13; ++second) {
    // Half of them a header line a second, half a byte.
    for (int i = 0; i < kSlow; ++i) {
      slow[i]->Send(i % 2 == 0 ? "X-Slow: " + std::to_string(second) + "\r\n" : "x");
    }
    for (int n = 0; n < 4; ++n) {
      const Clock::time_point asked = Clock::now();
      const auto res = client_->Get("/api/session");
      milliseconds.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
      ASSERT_TRUE(res) << "after " << second << " s";
      EXPECT_EQ(res->status, 204);
      std::this_thread::sleep_for(250ms - std::min<Clock::duration>(250ms, Clock::now() - asked));
    }
  }
  std::sort(milliseconds.begin(), milliseconds.end());
  const double median = milliseconds[milliseconds.size() / 2];
  std::printf("%zu requests beside %d slow clients: median %.1f ms, slowest %.1f ms\n",
              milliseconds.size(), kSlow, median, milliseconds.back());
  EXPECT_LT(milliseconds.back(), 1000);

  int ended = 0;
  for (const auto& client : slow) ended += client->Ended() ? 1 : 0;
  EXPECT_EQ(ended, kSlow) << "within " << (Clock::now() - start) / 1s << " s";
  // Those whose last byte the server had read before it closed heard why.
  int told = 0;
  for (const auto& client : slow) told += client->said().starts_with("HTTP/1.1 408") ? 1 : 0;
  EXPECT_GT(told, 0);
}

// Heads that come late but whole, on a new connection or one kept open between
// requests, are answered as soon as they are complete.
TEST_F(ServerTest, LateHeadsAreAnsweredWhenComplete) {
  const std::string request =
      "GET /api/session HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
      "\r\nAuthorization: Bearer " + kToken + "\r\n\r\n";
  RawClient client(port_);
  for (int round = 0; round < 3; ++round) {
    // Half the head, a pause longer than a thread waits for it, the rest.
    ASSERT_TRUE(client.Send(request.substr(0, 20)));
    std::this_thread::sleep_for(400ms);
    const Clock::time_point sent = Clock::now();
    ASSERT_TRUE(client.Send(request.substr(20)));
    const std::string head = client.AnswerHead(5s);
    EXPECT_TRUE(head.starts_with("HTTP/1.1 204")) << "round " << round << ": " << head;
    EXPECT_LT(Clock::now() - sent, 500ms) << "round " << round;
    // Kept open and idle before the next request.
    std::this_thread::sleep_for(300ms);
  }
}

#ifndef _WIN32  // where the test's Child stops the server with SIGTERM
TEST_F(ServerTest, StopsPromptlyWhateverClientsDo) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 60; ++i) {
    clients.push_back(std::make_unique<RawClient>(port_));
    clients.back()->Send(i % 3 == 0 ? "" : "GET / HTTP/1.1\r\nX-Slow: 1\r\n");
  }
  // An upload that stops half-way, and a download that is not read.
  RawClient upload(port_);
  upload.Send(std::string("POST /api/repairs HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: ") +
              "Bearer " + kToken +
              "\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: "
              "900000\r\n\r\n"
              "--b\r\nContent-Disposition: form-data; name=\"file\"; "
              "filename=\"a.m4a\"\r\n\r\n" +
              std::string(4000, 'x'));
  std::this_thread::sleep_for(300ms);
  const Clock::time_point asked = Clock::now();
  EXPECT_EQ(server_.Stop(), 0);
  port_ = 0;
  const auto took = Clock::now() - asked;
  EXPECT_LT(took, 2s) << std::chrono::duration<double>(took).count() << " s";
}

// A child of ours that can be killed: the shell prints its process id, then
// becomes the program.
struct Killable {
  explicit Killable(const std::string& command) {
    pipe = ::popen(("echo $$; exec " + command + " 2>/dev/null").c_str(), "r");
    char line[1024] = {};
    if (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) pid = std::atoi(line);
    if (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) first = line;
  }
  ~Killable() {
    if (pid > 0) ::kill(pid, SIGKILL);
    if (pipe != nullptr) ::pclose(pipe);
  }
  FILE* pipe = nullptr;
  int pid = 0;
  std::string first;
};

std::vector<std::string> Entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ServerStart, RemovesWhatAKilledServerLeft) {
  test::TempDir temp;
  // Look-alikes that are not a killed server's: a name of another kind, and a
  // directory with our kind of name but no lock file, as a server that is
  // making its directory has it.
  std::filesystem::create_directory(temp.path() / "quillmend-serve-notours");
  std::filesystem::create_directory(temp.path() / "quillmend-serve-0123456789abcdef");
  test::WriteFile(temp.path() / "quillmend-serve-aaaaaaaaaaaaaaaa", test::ByteVector(3, 'x'));
  const std::vector<std::string> lookalikes = Entries(temp.path());
  const Environment environment = ServerEnvironment(test::U8(temp.path()));

  test::Child running;
  ASSERT_NE(running.Start(kCli, "serve"), "");
  const std::vector<std::string> withRunning = Entries(temp.path());
  auto killed = std::make_unique<Killable>(test::Quote(kCli) + " serve");
  // It had a repair's upload and output in its directory when it was killed.
  std::smatch match;
  ASSERT_TRUE(std::regex_search(killed->first, match, std::regex(R"(:(\d+)/)"))) << killed->first;
  httplib::Client client("127.0.0.1", std::stoi(match[1]));
  client.set_bearer_token_auth(kToken);
  const test::ByteVector recording = test::ReadFile(test::Media("recorder-cut.m4a"));
  const auto posted = client.Post(
      "/api/repairs", {{"file", std::string(recording.begin(), recording.end()), "a.m4a", ""}});
  ASSERT_TRUE(posted);
  ASSERT_EQ(posted->status, 202);
  std::vector<std::string> left = Entries(temp.path());
  std::erase_if(left, [&](const std::string& name) {
    return std::find(withRunning.begin(), withRunning.end(), name) != withRunning.end();
  });
  ASSERT_EQ(left.size(), 1u);
  ASSERT_FALSE(std::filesystem::is_empty(temp.path() / left[0]));
  killed.reset();

  test::Child next;
  ASSERT_NE(next.Start(kCli, "serve"), "");
  const std::vector<std::string> after = Entries(temp.path());
  EXPECT_TRUE(std::find(after.begin(), after.end(), left[0]) == after.end()) << left[0];
  EXPECT_EQ(after.size(), withRunning.size() + 1) << "the running server's and the next one's";
  for (const std::string& name : withRunning) {
    EXPECT_TRUE(std::find(after.begin(), after.end(), name) != after.end()) << name;
  }
  running.Stop();
  next.Stop();
  EXPECT_EQ(Entries(temp.path()), lookalikes) << "each server removes its own directory";
}

// The browser's command line is there for every user to read: it gets an
// address that works once, never the token.
TEST(ServerStart, OpenHandsTheBrowserAnAddressForOneVisit) {
  test::TempDir dir;
  const std::string browser = dir.File("browser.sh");
  const std::string arguments = dir.File("arguments");
  std::ofstream(browser) << "#!/bin/sh\necho \"$@\" > '" << arguments << ".tmp'\nmv '" << arguments
                         << ".tmp' '" << arguments << "'\n";
  ::chmod(browser.c_str(), 0700);
  test::Child server;
  int port = 0;
  {
    const Environment environment{{"BROWSER", browser}};
    port = StartServer(server, "--open", test::U8(dir.path()));
  }
  ASSERT_NE(port, 0);
  for (int i = 0; i < 100 && !std::filesystem::exists(arguments); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  const test::ByteVector bytes = test::ReadFile(arguments);
  const std::string opened(bytes.begin(), bytes.end());
  EXPECT_EQ(opened.find(kToken), std::string::npos) << opened;
  std::smatch match;
  ASSERT_TRUE(
      std::regex_search(opened, match, std::regex(R"(^http://127\.0\.0\.1:\d+(/\?code=\w+)\n$)")))
      << opened;

  httplib::Client client("127.0.0.1", port);
  const auto first = client.Get(match[1].str());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 303);
  const std::string scope = first->get_header_value("Location");
  EXPECT_TRUE(std::regex_match(scope, std::regex("/s/[0-9a-f]{32}/"))) << scope;
  const std::string cookie = first->get_header_value("Set-Cookie");
  for (const std::string& attribute :
       {"; Path=" + scope, std::string("; HttpOnly"), std::string("; SameSite=Strict")}) {
    EXPECT_NE(cookie.find(attribute), std::string::npos) << cookie;
  }
  EXPECT_EQ(client.Get(match[1].str())->status, 401) << "the second visit";

  // The cookie opens the API under the page's path; a change still needs the
  // page's origin.
  const std::string pair = cookie.substr(0, cookie.find(';'));
  EXPECT_EQ(client.Get(scope + "api/session", {{"Cookie", pair}})->status, 204);
  EXPECT_EQ(client.Get(scope + "api/session")->status, 401);
  const httplib::MultipartFormDataItems form = {{"file", "x", "a.m4a", ""}};
  EXPECT_EQ(client.Post(scope + "api/repairs", {{"Cookie", pair}}, form)->status, 403);
  const httplib::Headers fromThePage = {{"Cookie", pair},
                                        {"Origin", "http://127.0.0.1:" + std::to_string(port)}};
  EXPECT_EQ(client.Post(scope + "api/repairs", fromThePage, form)->status, 202);
}
#endif

}  // namespace
}  // namespace quillmend
