#pragma once
// The local page's HTTP server: the page's own files and the JSON API behind it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "serve/repair_jobs.h"

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

 private:
  bool HostAllowed(const std::string& hostHeader) const;
  bool Authorized(const std::string& authorization, const std::string& queryToken) const;
  void Routes();

  ServeSettings settings_;
  RepairJobs& jobs_;
  std::unique_ptr<ConnectionServer> http_;
  int port_ = -1;
};

}  // namespace quillmend::tool::serve
