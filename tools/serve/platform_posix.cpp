#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>

#include "serve/platform.h"

extern char** environ;

namespace quillmend::tool::serve {

std::error_code MakeOwnerOnlyDirectory(const std::filesystem::path& path) {
  // The mode is given at creation: a chmod afterwards would leave a moment in which others
  // could enter.
  if (::mkdir(path.c_str(), 0700) != 0) return {errno, std::generic_category()};
  return {};
}

bool OpenInBrowser(const std::string& url) {
  char tool[] = "xdg-open";
  std::string address = url;
  char* argv[] = {tool, address.data(), nullptr};
  pid_t child = 0;
  if (::posix_spawnp(&child, tool, nullptr, nullptr, argv, environ) != 0) return false;
  // xdg-open returns once the browser has been started; reaping it keeps no zombie behind.
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace quillmend::tool::serve
