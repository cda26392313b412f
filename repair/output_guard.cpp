#include "output_guard.h"

#include <string>

#include "core/log_sink.h"
#include "io/native_path.h"
#include "io/utf8.h"

namespace quillmend {

ResultCode GuardOutputPaths(std::initializer_list<const MappedFile*> inputs,
                            std::string_view intermediatePath, std::string_view outputPath) {
  for (std::string_view path : {intermediatePath, outputPath}) {
    for (const MappedFile* input : inputs) {
      if (input != nullptr && input->IsFileAt(path)) {
        LogError(">>[!] The repair would write over its input file: %s", std::string(path).c_str());
        return kOutputClash;
      }
    }
  }
  // The intermediate path is the output's directory and a fixed name, so the two are one file
  // exactly when the output carries that name.
  if (NativePath(Utf8ToWide(outputPath)).filename() ==
      NativePath(Utf8ToWide(intermediatePath)).filename()) {
    LogError(">>[!] The output is named like the intermediate file: %s",
             std::string(outputPath).c_str());
    return kOutputClash;
  }
  return kOk;
}

}  // namespace quillmend
