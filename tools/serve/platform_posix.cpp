#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "serve/platform.h"

extern char** environ;

namespace quillmend::tool::serve {
namespace {

// Starts `program` with `arguments` and reaps it on a thread of its own, so that no zombie stays
// behind whether it returns at once (xdg-open) or runs as long as the browser.
bool Spawn(std::string program, std::string argument, bool waitForIt) {
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t child = 0;
  if (::posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
  auto reap = [child] {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  if (waitForIt) return reap();
  std::thread(reap).detach();
  return true;
}

}  // namespace

std::error_code MakeOwnerOnlyDirectory(const std::filesystem::path& path) {
  // The mode is given at creation: a chmod afterwards would leave a moment in which others
  // could enter.
  if (::mkdir(path.c_str(), 0700) != 0) return {errno, std::generic_category()};
  return {};
}

bool OwnedByMe(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && info.st_uid == ::geteuid();
}

bool OthersMayRead(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool OpenInBrowser(const std::string& url) {
  // $BROWSER may list several programs; the first is the person's choice.
  const char* chosen = std::getenv("BROWSER");
  std::string browser = chosen != nullptr ? chosen : "";
  browser = browser.substr(0, browser.find(':'));
  if (!browser.empty()) return Spawn(browser, url, false);
  // xdg-open returns once the browser has been started.
  return Spawn("xdg-open", url, true);
}

std::optional<std::string> TakeEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string text = value;
  ::unsetenv(name);
  return text;
}

std::error_code LockFile::Hold(const std::filesystem::path& path) {
  Release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return {errno, std::generic_category()};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    return {error, std::generic_category()};
  }
  handle_ = fd;
  return {};
}

void LockFile::Release() {
  // Closing the only descriptor of the open file lets go of its lock.
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool LockFile::Abandoned(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

SocketWait WaitForSocket(SocketHandle socket, bool forWriting, std::chrono::milliseconds timeout) {
  pollfd entry{static_cast<int>(socket), static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return SocketWait::kFailed;
  // A hang-up or an error is ready too: the receive or send that follows tells which.
  return ready == 0 ? SocketWait::kTimedOut : SocketWait::kReady;
}

std::vector<bool> WaitForAnySocket(const std::vector<SocketHandle>& sockets,
                                   std::chrono::milliseconds timeout) {
  std::vector<pollfd> entries;
  for (const SocketHandle socket : sockets) {
    entries.push_back(pollfd{static_cast<int>(socket), POLLIN, 0});
  }
  std::vector<bool> ready(sockets.size(), false);
  if (::poll(entries.data(), entries.size(), static_cast<int>(timeout.count())) > 0) {
    for (std::size_t i = 0; i < entries.size(); ++i) ready[i] = entries[i].revents != 0;
  }
  return ready;
}

std::ptrdiff_t ReceiveSome(SocketHandle socket, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(socket), buffer, size, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kNotYet;
    return -1;
  }
}

std::ptrdiff_t SendSome(SocketHandle socket, const char* data, std::size_t size) {
  for (;;) {
    // No SIGPIPE when the peer went away: the failed send says so.
    const ssize_t n = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kNotYet;
    return -1;
  }
}

void KeepFromChildren(SocketHandle socket) {
  ::fcntl(static_cast<int>(socket), F_SETFD, FD_CLOEXEC);
}

void CloseSocket(SocketHandle socket) {
  ::shutdown(static_cast<int>(socket), SHUT_RDWR);
  ::close(static_cast<int>(socket));
}

bool SocketAddress(SocketHandle socket, bool peer, std::string* address, int* port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  auto* any = reinterpret_cast<sockaddr*>(&storage);
  const int fd = static_cast<int>(socket);
  if ((peer ? ::getpeername(fd, any, &length) : ::getsockname(fd, any, &length)) != 0) {
    return false;
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (storage.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    *port = ntohs(v4->sin_port);
  } else if (storage.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    *port = ntohs(v6->sin6_port);
  } else {
    return false;
  }
  *address = text;
  return true;
}

void WidenListenBacklog(SocketHandle socket, int backlog) {
  // Listening again on a listening socket only changes the length of its queue.
  ::listen(static_cast<int>(socket), backlog);
}

}  // namespace quillmend::tool::serve
