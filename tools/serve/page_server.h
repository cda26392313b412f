#pragma once
// The local page's HTTP server: the page's own files and the JSON API behind it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "serve/access.h"
#include "serve/repair_jobs.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace quillmend::tool::serve {

class ConnectionServer;

struct ServeSettings {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  std::string token;
  std::uint64_t maxUploadBytes = 0;
  std::chrono::seconds keepFinished{0};
};

// True for the names and addresses that reach this machine only.
bool IsLoopback(const std::string& host);

class PageServer {
 public:
  PageServer(ServeSettings settings, RepairJobs& jobs);
  ~PageServer();
  // Binds the listening socket: the port bound, or -1 when it cannot be had.
  int Bind();
  // Serves until Stop is called (from any thread).
  bool Listen();
  // Stops taking requests and ends the connections' waits; false while Listen has not begun
  // yet, so that the caller tries again.
  bool Stop();
  // The part of an address that logs one browser in, once, for the next few minutes.
  std::string OneTimeCode();

 private:
  bool HostAllowed(const std::string& hostHeader) const;
  // The checks that come before any route: true when they answered the request.
  bool Refused(const httplib::Request& req, httplib::Response& res);
  void LogIn(const httplib::Request& req, httplib::Response& res);
  void Routes();

  ServeSettings settings_;
  RepairJobs& jobs_;
  Access access_;
  std::unique_ptr<ConnectionServer> http_;
  int port_ = -1;
};

}  // namespace quillmend::tool::serve
