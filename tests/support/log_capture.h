#pragma once

#include <string>
#include <vector>

#include "VxLogSDK.h"
#include "support/test_support.h"

namespace quillmend::test {

// Points the logging library at a fresh file for one test and reads its lines back.
class LogCapture {
 public:
  LogCapture() {
    static int owner;
    InitLogEx(&owner, "Quillmend_sdk", file().c_str());
  }
  std::string file() const { return dir_.File("test.log"); }
  std::vector<std::string> Messages() const { return LogMessages(file()); }

 private:
  TempDir dir_;
};

}  // namespace quillmend::test
