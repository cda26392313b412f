#include "serve_command.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common.h"
#include "quillmend.h"
#include "serve/access.h"
#include "serve/page_server.h"
#include "serve/platform.h"
#include "serve/repair_jobs.h"
#include "serve/work_directory.h"
#include "stop_signal.h"

namespace quillmend::tool {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string token;
  std::string tokenFile;
  bool open = false;
  unsigned maxUploadMb = 2048;
  unsigned keepMinutes = 60;
  unsigned workers = 2;
};

// Up to this many repairs are kept at once, finished or not; their files are on disk.
constexpr std::size_t kMaxRepairs = 100;
constexpr char kTokenVariable[] = "QUILLMEND_TOKEN";

// The token from the option, its file or the environment, else a random one of 128 bits; "" and
// a message on stderr when the one given cannot be used.
std::string ChooseToken(const ServeOptions& options, std::optional<std::string> fromEnvironment) {
  std::string token;
  std::string source;
  if (!options.tokenFile.empty()) {
    const fs::path path = FromUtf8(options.tokenFile);
    std::ifstream file(path, std::ios::binary);
    if (!file || !std::getline(file, token)) {
      UsageError("cannot read the token file " + options.tokenFile);
      return {};
    }
    // As ssh does with a key: a secret that others may read is no secret.
    if (serve::OthersMayRead(path)) {
      UsageError("other users may read the token file " + options.tokenFile,
                 "chmod 600 " + options.tokenFile);
      return {};
    }
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    source = "the token file";
  } else if (!options.token.empty()) {
    token = options.token;
    source = "--token";
    std::fprintf(stderr,
                 "quillmend: warning: other users of this computer can read the command line, and "
                 "with it --token: prefer %s or --token-file\n",
                 kTokenVariable);
  } else if (fromEnvironment) {
    token = *fromEnvironment;
    source = kTokenVariable;
  } else {
    return serve::RandomHex(16);
  }
  if (const std::string problem = serve::TokenProblem(token); !problem.empty()) {
    UsageError("the token from " + source + " cannot be used: " + problem,
               "at least " + std::to_string(serve::kMinTokenLength) +
                   " letters, digits, '-', '_' or '.'; leave it out for a random one");
    return {};
  }
  return token;
}

std::string UrlHost(const std::string& host) {
  return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

int Serve(const ServeOptions& options) {
  // Taken out of the environment whether it is used or not: the browser and the transcoder
  // inherit nothing of it.
  std::optional<std::string> environmentToken = serve::TakeEnvironment(kTokenVariable);
  serve::ServeSettings settings;
  settings.host = options.host;
  settings.port = options.port;
  settings.token = ChooseToken(options, std::move(environmentToken));
  if (settings.token.empty()) return kExitUsage;
  settings.maxUploadBytes = std::uint64_t{options.maxUploadMb} << 20;
  settings.keepFinished = std::chrono::minutes(options.keepMinutes);

  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  if (!error) {
    for (const fs::path& left : serve::RemoveAbandoned(temp)) {
      std::fprintf(stderr, "quillmend: removed %s, left behind by a server that was killed\n",
                   ToUtf8(left).c_str());
    }
  }
  serve::WorkDirectory work;
  if (error || (error = work.Create(temp))) {
    std::fprintf(stderr, "quillmend: cannot make a working directory in %s: %s\n",
                 ToUtf8(temp).c_str(), error.message().c_str());
    return 1;
  }
  // Declared before the server, so that the server stops taking requests before the repairs
  // and their files go, and after the working directory, which goes last.
  serve::RepairJobs jobs(work.path(), options.workers, settings.keepFinished, kMaxRepairs);
  serve::PageServer server(settings, jobs);
  const int port = server.Bind();
  if (port < 0) {
    std::fprintf(stderr, "quillmend: cannot listen on %s port %d: %s\n", options.host.c_str(),
                 options.port, options.port != 0 ? "is the port in use?" : "no free port");
    return 1;
  }
  if (!serve::IsLoopback(options.host)) {
    std::fprintf(stderr,
                 "quillmend: warning: listening on %s: other machines that reach this address "
                 "can use the page with its token, and the traffic is not encrypted\n",
                 options.host.c_str());
  }
  const std::string origin = "http://" + UrlHost(options.host) + ":" + std::to_string(port);
  std::printf("Quillmend is at %s/?token=%s\n", origin.c_str(), settings.token.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "Press Ctrl-C to stop; the repairs and their files go with the server.\n");
  // The browser's command line is there for every user of this computer to read: it gets an
  // address that is good for one visit, not the token. Started before the server takes any
  // connection, it inherits none.
  if (options.open && !serve::OpenInBrowser(origin + "/?code=" + server.OneTimeCode())) {
    std::fprintf(stderr, "quillmend: no browser could be opened: open the address above\n");
  }

  // FFmpeg's notes on single damaged frames are for developers; the page tells the person.
  qm_quiet_ffmpeg_log();
  std::atomic<bool> listening{true};
  std::thread listener([&server, &listening] {
    server.Listen();
    listening = false;
  });
  auto lastSweep = std::chrono::steady_clock::now();
  while (!StopRequested() && listening) {
    std::this_thread::sleep_for(100ms);
    if (std::chrono::steady_clock::now() - lastSweep > 10s) {
      jobs.RemoveExpired();
      lastSweep = std::chrono::steady_clock::now();
    }
  }
  // Until the listener has begun, there is nothing to stop yet.
  while (listening && !server.Stop()) std::this_thread::sleep_for(10ms);
  listener.join();
  if (!StopRequested()) {
    std::fprintf(stderr, "quillmend: the server stopped listening\n");
    return 1;
  }
  std::fprintf(stderr, "quillmend: stopped\n");
  return 0;
}

}  // namespace

void AddServeCommand(CLI::App& app, int* exitStatus) {
  auto options = std::make_shared<ServeOptions>();
  CLI::App* serve = app.add_subcommand(
      "serve", "Serves a page in the browser to repair recordings, on this machine only");
  serve->add_option("--port", options->port, "Port to listen on (default: a free one)")
      ->check(CLI::Range(0, 65535));
  serve
      ->add_option("--host", options->host,
                   "Address to listen on; other than the loopback only when you mean it")
      ->capture_default_str();
  CLI::Option* tokenFile = serve->add_option(
      "--token-file", options->tokenFile,
      "File whose first line is the access token (readable by you only); or set " +
          std::string(kTokenVariable) + " (default: a random token)");
  serve
      ->add_option("--token", options->token,
                   "Access token; other users can read it on the command line: prefer "
                   "--token-file or " +
                       std::string(kTokenVariable))
      ->excludes(tokenFile)
      ->check(
          CLI::Validator([](std::string& token) { return serve::TokenProblem(token); }, "TOKEN"));
  serve->add_flag("--open", options->open,
                  "Open the page in the browser ($BROWSER, else the desktop's), with an address "
                  "good for one visit");
  serve->add_option("--max-upload-mb", options->maxUploadMb, "Largest upload taken, in MiB")
      ->capture_default_str()
      ->check(CLI::Range(1u, 1u << 20));
  serve
      ->add_option("--keep-minutes", options->keepMinutes,
                   "How long a finished repair and its files are kept")
      ->capture_default_str()
      ->check(CLI::Range(1u, 7u * 24 * 60));
  serve->add_option("--workers", options->workers, "Repairs that run at once")
      ->capture_default_str()
      ->check(CLI::Range(1u, 16u));
  serve->callback([options, exitStatus] { *exitStatus = Serve(*options); });
}

}  // namespace quillmend::tool
