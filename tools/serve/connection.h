#pragma once
// The HTTP library's server with connections of our own making. A request's head is waited for
// without a thread: a connection whose head has not come at once is handed to one thread that
// watches all such connections together, and goes back to the threads that answer only once its
// head is complete. Every wait has a deadline in total, not per read, so that slow or silent
// clients can neither hold the threads the page needs nor keep a stopping server waiting.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve/platform.h"

namespace quillmend::tool::serve {

struct ConnectionLimits {
  // For the first byte of a request, on a new connection or one kept open after an answer.
  std::chrono::milliseconds idle{10000};
  // For the request line and the headers, from their first byte.
  std::chrono::milliseconds head{10000};
  std::size_t headBytes = 64 * 1024;
  // How long a thread waits for a head before it hands the connection to the watcher: long
  // enough for any client that sends its head at once.
  std::chrono::milliseconds headOnThread{100};
  // For the body: this much, and its length at the lowest rate a slow network still makes.
  std::chrono::milliseconds bodyBase{30000};
  std::uint64_t bodyBytesPerSecond = 64 * 1024;
  // For a client that reads the answer, to take more of it.
  std::chrono::milliseconds stall{30000};
  std::size_t requestsPerConnection = 100;
  std::size_t threads = 256;  // answering at once; more requests wait for one of them
  // Connections whose head is awaited; when more come, the one waiting longest is dropped.
  std::size_t waiting = 4096;
};

// A connection between requests: its socket and what came of the next request so far.
struct Connection {
  using Clock = std::chrono::steady_clock;
  SocketHandle socket = -1;
  std::string received;     // bytes the HTTP library has not read yet
  std::size_t scanned = 0;  // how far `received` was searched for the head's end
  std::size_t headEnd = 0;  // where the head ends once it is complete
  bool started = false;     // whether a byte of the next request came
  Clock::time_point since;  // the wait for the next request began
  Clock::time_point deadline;
  std::size_t served = 0;
};

// A request's bytes, read and written against its deadlines.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(Connection& connection, const ConnectionLimits& limits,
                   const std::atomic<bool>& stopping);

  // What the HTTP library did not read stays with the connection, for its next request.
  ~ConnectionStream() override;

  // The head has been read: the body, of this length, may follow.
  void HeadRead(std::uint64_t bodyLength);
  bool Failed() const { return failed_; }
  bool closeAfterAnswer = false;

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  ::socket_t socket() const override;

 private:
  Connection& connection_;
  const ConnectionLimits& limits_;
  const std::atomic<bool>& stopping_;
  std::size_t at_ = 0;  // in connection_.received
  Connection::Clock::time_point deadline_;
  bool failed_ = false;
};

// The threads that answer requests, made when none is free up to a limit, ending when they had
// nothing to do for a while; and the watcher of the connections whose next head is awaited.
class ConnectionPool : public httplib::TaskQueue {
 public:
  ConnectionPool(const ConnectionLimits& limits, const std::atomic<bool>& stopping,
                 std::function<void(Connection)> serve);
  ~ConnectionPool() override { shutdown(); }
  void enqueue(std::function<void()> task) override;
  // Closes the connections that wait, serves what was handed over already, joins every thread.
  void shutdown() override;
  // Hands a connection whose head has not come to the watcher.
  void Wait(Connection connection);

 private:
  void Work();
  void JoinEnded();
  void Watch();

  const ConnectionLimits& limits_;
  const std::atomic<bool>& stopping_;
  const std::function<void(Connection)> serve_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::list<std::thread> threads_;
  std::vector<std::thread::id> ended_;
  std::size_t idle_ = 0;
  bool shuttingDown_ = false;
  std::vector<Connection> handedOver_;  // to the watcher, which takes them on its next round
  std::condition_variable watcherWake_;
  std::thread watcher_;
};

class ConnectionServer : public httplib::Server {
 public:
  // The name that a request's Range header reaches the handlers under; the library sees none.
  static constexpr char kRangeHeader[] = "Quillmend-Range";

  explicit ConnectionServer(ConnectionLimits limits);
  // Called with each request once its head has come, before it is routed.
  void SetHeadHandler(std::function<void(httplib::Request&)> handler) {
    headHandler_ = std::move(handler);
  }
  // Lets more connections wait for their accept than the library's own short queue.
  void WidenBacklog();
  // Stops taking connections and ends the waits of those open. False while the server has not
  // begun to listen yet: call it again then.
  bool StopServing();
  bool Stopping() const { return stopping_; }
  // From a handler or the post-routing handler: the connection of the request being answered
  // ends once its answer is out.
  static void CloseAfterAnswer();

 private:
  bool process_and_close_socket(::socket_t sock) override;
  // Answers the connection's requests for as long as their heads come at once.
  void Serve(Connection connection);

  const ConnectionLimits limits_;
  std::function<void(httplib::Request&)> headHandler_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stopped_{false};
  ConnectionPool* pool_ = nullptr;  // the library owns it, for as long as it listens
};

}  // namespace quillmend::tool::serve
