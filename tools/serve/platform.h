#pragma once
// What the local page's server needs from the operating system.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace quillmend::tool::serve {

// Creates `path`, which must not exist yet, so that only this user can enter it.
std::error_code MakeOwnerOnlyDirectory(const std::filesystem::path& path);

// Whether `path` (not followed if it is a link) belongs to the user running us.
bool OwnedByMe(const std::filesystem::path& path);

// Whether other users may read the file at `path`; false when they may not or it cannot be told.
bool OthersMayRead(const std::filesystem::path& path);

// Hands the address to the browser without waiting for it: the program named by $BROWSER when
// set, else the desktop's own choice. False when none could be started.
bool OpenInBrowser(const std::string& url);

// The value of an environment variable, which is then removed, so that the programs we start
// (the browser, the transcoder) do not inherit it.
std::optional<std::string> TakeEnvironment(const char* name);

// A file that a running server holds locked for as long as it runs; the system lets go of it
// when the process ends, however it ends.
class LockFile {
 public:
  LockFile() = default;
  ~LockFile() { Release(); }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // Creates `path`, which must not exist yet, and holds it.
  std::error_code Hold(const std::filesystem::path& path);
  // Lets go, so that the file can be removed: Windows removes no file that is open.
  void Release();
  // Whether `path` is such a file and nobody holds it any more.
  static bool Abandoned(const std::filesystem::path& path);

 private:
  std::intptr_t handle_ = -1;
};

// Sockets, as the HTTP library hands them over (a descriptor, or a SOCKET on Windows).
using SocketHandle = std::intptr_t;

enum class SocketWait { kReady, kTimedOut, kFailed };

// Waits until the socket can be read from (or written to, with `forWriting`).
SocketWait WaitForSocket(SocketHandle socket, bool forWriting, std::chrono::milliseconds timeout);
// Waits until any of the sockets can be read from, or was closed: which of them.
std::vector<bool> WaitForAnySocket(const std::vector<SocketHandle>& sockets,
                                   std::chrono::milliseconds timeout);
// One receive or send: the bytes moved; 0 when the peer closed (receive only); kNotYet when
// nothing could be moved yet; -1 on an error.
constexpr std::ptrdiff_t kNotYet = -2;
std::ptrdiff_t ReceiveSome(SocketHandle socket, char* buffer, std::size_t size);
std::ptrdiff_t SendSome(SocketHandle socket, const char* data, std::size_t size);
// Keeps the programs we start (the browser, the transcoder) from inheriting the connection.
void KeepFromChildren(SocketHandle socket);
// Ends the connection both ways, even where a child inherited it, and closes the socket.
void CloseSocket(SocketHandle socket);
// The numeric address and port of the peer, or of our own end.
bool SocketAddress(SocketHandle socket, bool peer, std::string* address, int* port);
// Lets more connections wait for their accept than the HTTP library asks for.
void WidenListenBacklog(SocketHandle socket, int backlog);

}  // namespace quillmend::tool::serve
