// The four exports: a thin C shell over the SDK's repairs (repair/sdk_methods.h).
#include "quillmend_sdk.h"
#include "repair/sdk_methods.h"

extern "C" {

QUILLMEND_API int32_t QUILLMEND_CALL OrvM4aInit(const char* logDirectory, void* logOwner) {
  return quillmend::InitLog(logDirectory, logOwner);
}

QUILLMEND_API int32_t QUILLMEND_CALL OrvM4aGeneralRepair(const char* damagedPath,
                                                         const char* outputPath) {
  return quillmend::GeneralRepairCall(damagedPath, outputPath);
}

QUILLMEND_API int32_t QUILLMEND_CALL OrvM4aAdvanceRepair(const char* damagedPath,
                                                         const char* samplePath,
                                                         const char* outputPath) {
  return quillmend::AdvanceRepairCall(damagedPath, samplePath, outputPath);
}

QUILLMEND_API void QUILLMEND_CALL OrvM4aDestroy(void) {}

}  // extern "C"
