#include <windows.h>
// after windows.h, which they need
#include <sddl.h>
#include <shellapi.h>

#include <random>

#include "cancel.h"
#include "command_line.h"
#include "env.h"
#include "utf8.h"

namespace quillmend {

std::error_code LastSystemError() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

namespace {

namespace fs = std::filesystem;

// Closes a handle when it goes; an invalid or null one is none.
class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class Win32WritableFile final : public WritableFile {
 public:
  explicit Win32WritableFile(HANDLE handle) : handle_(handle) {}
  ~Win32WritableFile() override { Close(); }

  std::error_code Append(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!::WriteFile(handle_, bytes, chunk, &written, nullptr)) return LastSystemError();
      bytes += written;
      size -= written;
    }
    return {};
  }
  std::error_code Seek(std::uint64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (to.QuadPart < 0) return std::make_error_code(std::errc::file_too_large);
    return ::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) ? std::error_code{}
                                                                : LastSystemError();
  }
  // Writes go straight to the handle; there is no buffer of ours to flush.
  std::error_code Flush() override { return {}; }
  std::error_code Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      if (!::CloseHandle(handle_)) closeError_ = LastSystemError();
      handle_ = INVALID_HANDLE_VALUE;
    }
    return closeError_;
  }

 private:
  HANDLE handle_;
  std::error_code closeError_;
};

// A security descriptor that lets only the current user in, for MakePrivateDirectory.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return;
    Handle token(rawToken);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
      return;
    }
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
      return;
    }
    // Protected from the parent's entries; full access for the user, inherited below.
    const std::wstring text = std::wstring(L"D:P(A;OICI;FA;;;") + sid + L")";
    ::LocalFree(sid);
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                           &descriptor_, nullptr);
  }
  ~OwnerOnly() {
    if (descriptor_ != nullptr) ::LocalFree(descriptor_);
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

class Win32Env final : public Env {
 public:
  std::error_code CreateExclusive(const fs::path& path,
                                  std::unique_ptr<WritableFile>* file) override {
    // CREATE_NEW fails on any name that exists, a link included; opening the reparse point
    // itself keeps a link from being followed in any case. Others may read and write, as the
    // transcoder reads the PCM while it is open; the handle is not inherited.
    HANDLE handle =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        return std::make_error_code(std::errc::file_exists);
      }
      return {static_cast<int>(error), std::system_category()};
    }
    *file = std::make_unique<Win32WritableFile>(handle);
    return {};
  }

  std::error_code Remove(const fs::path& path) override {
    // A link is removed as a name, whatever it points to.
    std::error_code error;
    if (!fs::remove(path, error) || error) return error;
    // The name of a file another program still holds outlives its removal until that program
    // lets go (a virus scanner, an indexer; Wine after another process wrote the file): the
    // name is waited for a while, so that it is free when this returns.
    for (int i = 0; i < 25 && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) {
      ::Sleep(20);
    }
    return {};
  }

  std::error_code Rename(const fs::path& from, const fs::path& to, bool replace) override {
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return {};
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
      return std::make_error_code(std::errc::file_exists);
    }
    return {static_cast<int>(error), std::system_category()};
  }

  std::error_code MakePrivateDirectory(const fs::path& parent, const std::string& prefix,
                                       fs::path* made) override {
    OwnerOnly security;
    if (security.get() == nullptr) return LastSystemError();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.get(), FALSE};
    std::random_device random;
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = prefix;
      for (int i = 0; i < 12; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
      const fs::path candidate = parent / name;
      if (::CreateDirectoryW(candidate.c_str(), &attributes)) {
        *made = candidate;
        return {};
      }
      if (::GetLastError() != ERROR_ALREADY_EXISTS) return LastSystemError();
    }
    return std::make_error_code(std::errc::file_exists);
  }

  ChildOutcome Spawn(const fs::path& program, const std::vector<std::string>& arguments) override {
    std::vector<std::u16string> rest;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      rest.push_back(Utf8ToWide(arguments[i]));
    }
    return SpawnWithParameters(program, JoinCommandLine(rest));
  }

  ChildOutcome SpawnWithParameters(const fs::path& program,
                                   std::u16string_view parameters) override {
    // The whole program path in quotes, so a directory with blanks in it is one name.
    const std::wstring file = L"\"" + program.native() + L"\"";
    const std::wstring text(parameters.begin(), parameters.end());
    SHELLEXECUTEINFOW launch{};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS;
    launch.hwnd = nullptr;
    launch.lpVerb = nullptr;
    launch.lpFile = file.c_str();
    launch.lpParameters = text.c_str();
    launch.lpDirectory = nullptr;
    launch.nShow = SW_HIDE;
    if (!::ShellExecuteExW(&launch)) return {};

    ChildOutcome outcome;
    outcome.started = true;
    // No process handle comes back when the shell handed the file to a running program; there
    // is nothing of ours to wait for then.
    if (launch.hProcess == nullptr) return outcome;
    Handle process(launch.hProcess);
    // The child must not outlive us: the job's last handle is ours, and when it closes, with
    // our process if we are killed, the system ends whatever is still in the job.
    Handle job(::CreateJobObjectW(nullptr, nullptr));
    if (job.get() != nullptr) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof limits);
      ::AssignProcessToJobObject(job.get(), process.get());
    }
    for (;;) {
      const DWORD waited = ::WaitForSingleObject(process.get(), 20);
      if (waited != WAIT_TIMEOUT) break;
      if (!outcome.stopped && ShouldStop()) {
        outcome.stopped = true;
        ::TerminateProcess(process.get(), 1);
      }
    }
    DWORD code = 0;
    if (::GetExitCodeProcess(process.get(), &code)) outcome.exitCode = static_cast<int>(code);
    return outcome;
  }
};

}  // namespace

Env* Env::Default() {
  static Win32Env* env = new Win32Env;  // never destroyed: threads may still use it at exit
  return env;
}

}  // namespace quillmend
