#include "serve/connection.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string_view>

namespace quillmend::tool::serve {
namespace {

using namespace std::chrono_literals;
using Clock = Connection::Clock;

// How often a wait looks whether the server is stopping, and the watcher for connections that
// were handed to it.
constexpr std::chrono::milliseconds kStopCheck = 50ms;
// A thread with nothing to do for this long ends; the pool makes another when one is needed.
constexpr std::chrono::seconds kIdleThread{30};
constexpr std::size_t kReceiveBytes = 16 * 1024;

// The connection answered on this thread, for the handlers that want it closed after them.
thread_local ConnectionStream* tConnection = nullptr;

std::uint64_t BodyLength(const httplib::Request& req) {
  const std::string text = req.get_header_value("Content-Length");
  std::uint64_t length = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  return error == std::errc() && end == text.data() + text.size() ? length : 0;
}

void AwaitRequest(Connection& connection, const ConnectionLimits& limits) {
  connection.since = Clock::now();
  connection.scanned = 0;
  connection.headEnd = 0;
  // Bytes already here are the next request's, sent right behind the last one.
  connection.started = !connection.received.empty();
  connection.deadline = connection.since + (connection.started ? limits.head : limits.idle);
}

// One receive into the connection's bytes; false when it closed or failed. Into a buffer of
// its own first: a thousand waiting connections keep what they sent, not a buffer each.
bool Receive(Connection& connection, const ConnectionLimits& limits) {
  char chunk[kReceiveBytes];
  const std::ptrdiff_t n = ReceiveSome(connection.socket, chunk, sizeof chunk);
  if (n == kNotYet) return true;
  if (n <= 0) return false;
  connection.received.append(chunk, static_cast<std::size_t>(n));
  if (!connection.started) {
    connection.started = true;
    connection.deadline = Clock::now() + limits.head;
  }
  return true;
}

enum class Head { kComplete, kAwaited, kTooLarge, kTimedOut };

Head Examine(Connection& connection, const ConnectionLimits& limits, Clock::time_point now) {
  constexpr std::string_view kEnd = "\r\n\r\n";
  const std::string_view received = connection.received;
  if (connection.headEnd == 0) {
    const std::size_t end =
        received.find(kEnd, connection.scanned > 3 ? connection.scanned - 3 : 0);
    connection.scanned = received.size();
    if (end != std::string_view::npos) connection.headEnd = end + kEnd.size();
  }
  if (connection.headEnd != 0) {
    return connection.headEnd <= limits.headBytes ? Head::kComplete : Head::kTooLarge;
  }
  if (received.size() > limits.headBytes) return Head::kTooLarge;
  return now >= connection.deadline ? Head::kTimedOut : Head::kAwaited;
}

// Renames the Range header of a complete head. The library answers a Range it cannot read (a
// unit other than bytes, a number too large for it) with a bare 416 of its own, before any
// check or handler sees the request; under our name, the handlers answer every Range.
void RenameRange(Connection& connection) {
  constexpr std::string_view kName = "range:";
  std::string& head = connection.received;
  for (std::size_t line = head.find("\r\n");
       line != std::string::npos && line + 2 < connection.headEnd;
       line = head.find("\r\n", line + 2)) {
    const std::size_t at = line + 2;
    if (head.size() - at >= kName.size() &&
        std::equal(kName.begin(), kName.end(), head.begin() + at, [](char a, char b) {
          return a == std::tolower(static_cast<unsigned char>(b));
        })) {
      head.replace(at, kName.size() - 1, ConnectionServer::kRangeHeader);
      connection.headEnd += std::strlen(ConnectionServer::kRangeHeader) - (kName.size() - 1);
    }
  }
}

// Ends a connection whose head did not come as it should: a client that began a request hears
// why, in one try without waiting; a client this slow gets no more of our time.
void Drop(const Connection& connection, Head why) {
  static constexpr std::string_view kTimeout =
      "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  static constexpr std::string_view kTooLarge =
      "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n"
      "Content-Length: 0\r\n\r\n";
  if (why == Head::kTooLarge) SendSome(connection.socket, kTooLarge.data(), kTooLarge.size());
  if (why == Head::kTimedOut && connection.started) {
    SendSome(connection.socket, kTimeout.data(), kTimeout.size());
  }
  CloseSocket(connection.socket);
}

}  // namespace

ConnectionStream::ConnectionStream(Connection& connection, const ConnectionLimits& limits,
                                   const std::atomic<bool>& stopping)
    : connection_(connection),
      limits_(limits),
      stopping_(stopping),
      deadline_(connection.deadline) {}

ConnectionStream::~ConnectionStream() { connection_.received.erase(0, at_); }

void ConnectionStream::HeadRead(std::uint64_t bodyLength) {
  const auto seconds = bodyLength / std::max<std::uint64_t>(1, limits_.bodyBytesPerSecond);
  deadline_ = Clock::now() + limits_.bodyBase +
              std::chrono::seconds(std::min<std::uint64_t>(seconds, 30 * 24 * 3600));
}

bool ConnectionStream::is_readable() const {
  return at_ < connection_.received.size() ||
         WaitForSocket(connection_.socket, false, 0ms) == SocketWait::kReady;
}

bool ConnectionStream::is_writable() const { return !failed_ && !stopping_; }

ssize_t ConnectionStream::read(char* ptr, size_t size) {
  std::string& received = connection_.received;
  while (at_ == received.size()) {
    received.clear();
    at_ = 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
    if (failed_ || stopping_ || left <= 0ms) {
      failed_ = true;
      return -1;
    }
    const SocketWait wait = WaitForSocket(connection_.socket, false, std::min(left, kStopCheck));
    if (wait == SocketWait::kTimedOut) continue;
    if (wait == SocketWait::kFailed || !Receive(connection_, limits_)) {
      failed_ = wait == SocketWait::kFailed || !received.empty();
      return failed_ ? -1 : 0;
    }
  }
  const std::size_t n = std::min(size, received.size() - at_);
  std::memcpy(ptr, received.data() + at_, n);
  at_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
  // The answer may take as long as it takes, as long as the client keeps taking bytes.
  const Clock::time_point deadline = Clock::now() + limits_.stall;
  while (!failed_ && !stopping_) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) break;
    const SocketWait wait = WaitForSocket(connection_.socket, true, std::min(left, kStopCheck));
    if (wait == SocketWait::kFailed) break;
    if (wait == SocketWait::kTimedOut) continue;
    const std::ptrdiff_t n = SendSome(connection_.socket, ptr, size);
    if (n > 0) return n;
    if (n != kNotYet) break;
  }
  failed_ = true;
  return -1;
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  if (!SocketAddress(connection_.socket, true, &ip, &port)) ip.clear();
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  if (!SocketAddress(connection_.socket, false, &ip, &port)) ip.clear();
}

::socket_t ConnectionStream::socket() const { return static_cast<::socket_t>(connection_.socket); }

ConnectionPool::ConnectionPool(const ConnectionLimits& limits, const std::atomic<bool>& stopping,
                               std::function<void(Connection)> serve)
    : limits_(limits), stopping_(stopping), serve_(std::move(serve)) {
  watcher_ = std::thread([this] { Watch(); });
}

void ConnectionPool::enqueue(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  JoinEnded();
  tasks_.push_back(std::move(task));
  if (idle_ < tasks_.size() && threads_.size() < limits_.threads) {
    threads_.emplace_back([this] { Work(); });
  }
  wake_.notify_one();
}

void ConnectionPool::shutdown() {
  {
    std::lock_guard lock(mutex_);
    shuttingDown_ = true;
  }
  watcherWake_.notify_one();
  // The watcher first: what it hands over on its way out is still served (and, the server
  // stopping, closed).
  if (watcher_.joinable()) watcher_.join();
  std::list<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void ConnectionPool::Wait(Connection connection) {
  std::lock_guard lock(mutex_);
  if (shuttingDown_) return CloseSocket(connection.socket);
  handedOver_.push_back(std::move(connection));
  watcherWake_.notify_one();
}

void ConnectionPool::JoinEnded() {
  for (const std::thread::id id : ended_) {
    const auto found = std::find_if(threads_.begin(), threads_.end(),
                                    [id](const std::thread& t) { return t.get_id() == id; });
    // It has let go of the lock for good: joining it waits only for its return.
    if (found != threads_.end()) {
      found->join();
      threads_.erase(found);
    }
  }
  ended_.clear();
}

void ConnectionPool::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait_for(lock, kIdleThread, [this] { return shuttingDown_ || !tasks_.empty(); });
    --idle_;
    if (tasks_.empty()) {
      // Ended by itself, it is joined by the next enqueue; at shutdown, by shutdown.
      if (!shuttingDown_) ended_.push_back(std::this_thread::get_id());
      return;
    }
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

void ConnectionPool::Watch() {
  std::vector<Connection> watched;
  std::vector<SocketHandle> sockets;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      // Nothing to watch: nothing to wake for until a connection is handed over.
      if (watched.empty()) {
        watcherWake_.wait(lock, [this] { return shuttingDown_ || !handedOver_.empty(); });
      }
      if (shuttingDown_ || stopping_) break;
      for (Connection& connection : handedOver_) watched.push_back(std::move(connection));
      handedOver_.clear();
    }
    // A flood of connections that send nothing makes room for new ones at its own expense.
    while (watched.size() > limits_.waiting) {
      const auto oldest = std::min_element(watched.begin(), watched.end(),
                                           [](auto& a, auto& b) { return a.since < b.since; });
      CloseSocket(oldest->socket);
      watched.erase(oldest);
    }
    sockets.clear();
    for (const Connection& connection : watched) sockets.push_back(connection.socket);
    const std::vector<bool> ready = WaitForAnySocket(sockets, kStopCheck);
    const Clock::time_point now = Clock::now();
    std::vector<Connection> waiting;
    for (std::size_t i = 0; i < watched.size(); ++i) {
      Connection& connection = watched[i];
      if (ready[i] && !Receive(connection, limits_)) {
        CloseSocket(connection.socket);
        continue;
      }
      const Head head = Examine(connection, limits_, now);
      if (head == Head::kComplete) {
        enqueue([this, handed = std::move(connection)]() mutable { serve_(std::move(handed)); });
      } else if (head == Head::kAwaited) {
        waiting.push_back(std::move(connection));
      } else {
        Drop(connection, head);
      }
    }
    watched.swap(waiting);
  }
  for (const Connection& connection : watched) CloseSocket(connection.socket);
  std::lock_guard lock(mutex_);
  for (const Connection& connection : handedOver_) CloseSocket(connection.socket);
  handedOver_.clear();
}

ConnectionServer::ConnectionServer(ConnectionLimits limits) : limits_(limits) {
  new_task_queue = [this] {
    pool_ = new ConnectionPool(limits_, stopping_,
                               [this](Connection connection) { Serve(std::move(connection)); });
    return pool_;
  };
  // The socket's own time-outs only bound each wait of the system; the limits above are ours.
  set_read_timeout(0, 200000);
  set_write_timeout(0, 200000);
  set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits_.idle).count());
  set_keep_alive_max_count(limits_.requestsPerConnection);
}

void ConnectionServer::WidenBacklog() {
  if (svr_sock_ != INVALID_SOCKET) WidenListenBacklog(static_cast<SocketHandle>(svr_sock_), 128);
}

bool ConnectionServer::StopServing() {
  stopping_ = true;
  // The library's stop closes the listening socket once; a second call would find it closed.
  if (stopped_) return true;
  if (!is_running()) return false;
  stopped_ = true;
  stop();
  return true;
}

void ConnectionServer::CloseAfterAnswer() {
  if (tConnection != nullptr) tConnection->closeAfterAnswer = true;
}

bool ConnectionServer::process_and_close_socket(::socket_t sock) {
  Connection connection;
  connection.socket = static_cast<SocketHandle>(sock);
  KeepFromChildren(connection.socket);
  AwaitRequest(connection, limits_);
  Serve(std::move(connection));
  return true;
}

void ConnectionServer::Serve(Connection connection) {
  while (!stopping_) {
    // A head that does not come at once is waited for by the watcher, not by this thread.
    const Clock::time_point handOver = Clock::now() + limits_.headOnThread;
    Head head = Examine(connection, limits_, Clock::now());
    while (head == Head::kAwaited && !stopping_) {
      const Clock::time_point now = Clock::now();
      if (now >= handOver) return pool_->Wait(std::move(connection));
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          std::min(handOver, connection.deadline) - now);
      const SocketWait wait = WaitForSocket(connection.socket, false, std::min(left, kStopCheck));
      if (wait == SocketWait::kFailed ||
          (wait == SocketWait::kReady && !Receive(connection, limits_))) {
        return CloseSocket(connection.socket);
      }
      head = Examine(connection, limits_, Clock::now());
    }
    if (head != Head::kComplete) return Drop(connection, head);
    RenameRange(connection);

    const bool last = ++connection.served >= limits_.requestsPerConnection;
    bool closedByClient = false;
    bool open = false;
    bool closeAfterAnswer = false;
    {
      ConnectionStream stream(connection, limits_, stopping_);
      tConnection = &stream;
      open = process_request(stream, last, closedByClient, [&](httplib::Request& req) {
        stream.HeadRead(BodyLength(req));
        if (headHandler_) headHandler_(req);
      });
      tConnection = nullptr;
      closeAfterAnswer = stream.closeAfterAnswer || stream.Failed();
    }
    if (!open || closedByClient || last || closeAfterAnswer) break;
    AwaitRequest(connection, limits_);
  }
  CloseSocket(connection.socket);
}

}  // namespace quillmend::tool::serve
