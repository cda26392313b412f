#include "intermediate_file.h"

#include "sdk/log_sink.h"

namespace quillmend {

ResultCode CreateIntermediateFile(const std::string& path, AppendFile& file) {
  RemoveIfExists(path);
  file = AppendFile(path);
  if (file.IsOpen()) return kOk;
  LogError(">>[!] Can't create the intermediate file: %s", path.c_str());
  return kIntermediateFile;
}

}  // namespace quillmend
