#pragma once

#include "core/repair_context.h"
#include "support/support.h"

namespace quillmend::test {

// A repair context whose mapped file holds the given bytes.
class ContextOver {
 public:
  explicit ContextOver(const Bytes& bytes) {
    WriteFile(dir_.File("input.m4a"), bytes);
    EXPECT_EQ(MapContextFile(context, dir_.File("input.m4a")), kOk);
  }
  RepairContext context;

 private:
  TempDir dir_;
};

}  // namespace quillmend::test
