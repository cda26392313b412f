#include "stage_guard.h"

namespace quillmend {

ResultCode ResultFromException(std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const std::range_error&) {
    // The only range error below the exported calls is the UTF-8 conversion of a path.
    LogError(">>[!] A path is not valid UTF-8");
    return kPathEncoding;
  } catch (const std::bad_alloc&) {
    LogError(">>[!] Out of memory");
    return kAllocFailed;
  } catch (const std::filesystem::filesystem_error& e) {
    // what() names the operation and the path.
    LogError(">>[!] %s", e.what());
    return kIntermediateFile;
  } catch (const std::exception& e) {
    LogError(">>[!] Internal error: %s", e.what());
    return kInternal;
  } catch (...) {
    LogError(">>[!] Internal error");
    return kInternal;
  }
}

}  // namespace quillmend
