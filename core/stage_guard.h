#pragma once

#include <exception>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <utility>

#include "log_sink.h"
#include "result_codes.h"

namespace quillmend {

// Maps an exception that escaped a stage to a result code, logging one line where it is
// caught. Damaged input is handled with result codes; what lands here comes from the edges:
// a path that is not UTF-8, memory exhaustion, a file-system operation on an intermediate file.
ResultCode ResultFromException(std::exception_ptr error) noexcept;

// Runs one stage and returns its result; no exception leaves it.
template <typename Stage>
ResultCode RunStage(Stage&& stage) noexcept {
  try {
    return std::forward<Stage>(stage)();
  } catch (...) {
    return ResultFromException(std::current_exception());
  }
}

}  // namespace quillmend
