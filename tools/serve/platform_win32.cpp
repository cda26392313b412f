// winsock2.h before windows.h, which would otherwise bring the older winsock.h
#include <winsock2.h>
#include <ws2tcpip.h>
// then windows.h, which shellapi.h needs
#include <shellapi.h>
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "serve/platform.h"

namespace quillmend::tool::serve {
namespace {

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                        nullptr, nullptr);
  return text;
}

std::optional<std::wstring> Environment(const wchar_t* name) {
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::nullopt;
  std::vector<wchar_t> value(size);
  const DWORD length = ::GetEnvironmentVariableW(name, value.data(), size);
  return std::wstring(value.data(), length);
}

SOCKET Socket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

}  // namespace

std::error_code MakeOwnerOnlyDirectory(const std::filesystem::path& path) {
  // Under the user's own temporary directory, whose access list already shuts others out; the
  // new directory inherits it.
  if (!::CreateDirectoryW(path.c_str(), nullptr)) {
    return {static_cast<int>(::GetLastError()), std::system_category()};
  }
  return {};
}

// Each user has a temporary directory of their own, which others cannot enter.
bool OwnedByMe(const std::filesystem::path&) { return true; }

// A file under the user's profile inherits an access list that shuts others out; telling one
// that lets them in from one that does not would take the whole list apart.
bool OthersMayRead(const std::filesystem::path&) { return false; }

bool OpenInBrowser(const std::string& url) {
  const std::wstring wide(url.begin(), url.end());  // the address is ASCII
  if (const std::optional<std::wstring> chosen = Environment(L"BROWSER"); chosen) {
    const std::wstring browser = chosen->substr(0, chosen->find(L';'));
    std::wstring line = L"\"" + browser + L"\" \"" + wide + L"\"";
    STARTUPINFOW start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION child{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &start, &child)) {
      return false;
    }
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    return true;
  }
  const auto result = reinterpret_cast<INT_PTR>(
      ::ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

std::optional<std::string> TakeEnvironment(const char* name) {
  const std::wstring wideName(name, name + std::char_traits<char>::length(name));  // ASCII
  const std::optional<std::wstring> value = Environment(wideName.c_str());
  if (!value) return std::nullopt;
  // The C library keeps a copy of its own beside the process's block that children inherit.
  ::_wputenv((wideName + L"=").c_str());
  ::SetEnvironmentVariableW(wideName.c_str(), nullptr);
  return Narrow(*value);
}

std::error_code LockFile::Hold(const std::filesystem::path& path) {
  Release();
  // Shared with nobody: while it is held, no one else can open it.
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return {static_cast<int>(::GetLastError()), std::system_category()};
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return {};
}

void LockFile::Release() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

bool LockFile::Abandoned(const std::filesystem::path& path) {
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

SocketWait WaitForSocket(SocketHandle socket, bool forWriting, std::chrono::milliseconds timeout) {
  // select, which every Windows and Wine have; one socket is never too many for its set.
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Socket(socket), &set);
  timeval wait{static_cast<long>(timeout.count() / 1000),
               static_cast<long>((timeout.count() % 1000) * 1000)};
  const int ready =
      ::select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr, &wait);
  if (ready == SOCKET_ERROR) return SocketWait::kFailed;
  return ready == 0 ? SocketWait::kTimedOut : SocketWait::kReady;
}

std::vector<bool> WaitForAnySocket(const std::vector<SocketHandle>& sockets,
                                   std::chrono::milliseconds timeout) {
  std::vector<WSAPOLLFD> entries;
  for (const SocketHandle socket : sockets)
    entries.push_back(WSAPOLLFD{Socket(socket), POLLRDNORM, 0});
  std::vector<bool> ready(sockets.size(), false);
  if (entries.empty()) {
    ::Sleep(static_cast<DWORD>(timeout.count()));
    return ready;
  }
  if (::WSAPoll(entries.data(), static_cast<ULONG>(entries.size()),
                static_cast<INT>(timeout.count())) > 0) {
    for (std::size_t i = 0; i < entries.size(); ++i) ready[i] = entries[i].revents != 0;
  }
  return ready;
}

std::ptrdiff_t ReceiveSome(SocketHandle socket, char* buffer, std::size_t size) {
  const int n = ::recv(Socket(socket), buffer, static_cast<int>(size), 0);
  if (n >= 0) return n;
  const int error = ::WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAETIMEDOUT || error == WSAEINTR ? kNotYet : -1;
}

std::ptrdiff_t SendSome(SocketHandle socket, const char* data, std::size_t size) {
  const int n = ::send(Socket(socket), data, static_cast<int>(size), 0);
  if (n >= 0) return n;
  const int error = ::WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAETIMEDOUT || error == WSAEINTR ? kNotYet : -1;
}

void KeepFromChildren(SocketHandle socket) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

void CloseSocket(SocketHandle socket) {
  ::shutdown(Socket(socket), SD_BOTH);
  ::closesocket(Socket(socket));
}

bool SocketAddress(SocketHandle socket, bool peer, std::string* address, int* port) {
  sockaddr_storage storage{};
  int length = sizeof storage;
  auto* any = reinterpret_cast<sockaddr*>(&storage);
  if ((peer ? ::getpeername(Socket(socket), any, &length)
            : ::getsockname(Socket(socket), any, &length)) != 0) {
    return false;
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (storage.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    *port = ntohs(v4->sin_port);
  } else if (storage.ss_family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    *port = ntohs(v6->sin6_port);
  } else {
    return false;
  }
  *address = text;
  return true;
}

void WidenListenBacklog(SocketHandle socket, int backlog) {
  // Windows keeps the first length it was given; asking again is harmless.
  ::listen(Socket(socket), backlog);
}

}  // namespace quillmend::tool::serve
