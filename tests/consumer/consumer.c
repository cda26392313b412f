/* A host program built against the installed library only. */
#include <stdio.h>
#include <string.h>

#include <quillmend.h>
#include <quillmend_sdk.h>

int main(int argc, char** argv) {
  static int owner;
  if (argc != 2) return 2;
  if (OrvM4aInit(argv[1], &owner) != ORVM4A_OK) return 1;
  /* A file that does not exist is refused with its code: the library is really there. */
  int32_t r = OrvM4aGeneralRepair("/nonexistent/quillmend-consumer.m4a", "/nonexistent/out.m4a");
  OrvM4aDestroy();
  printf("quillmend_sdk %s: %d\n", QUILLMEND_SDK_VERSION_TEXT, (int)r);
  /* The public API says why in words. */
  qm_result* result = NULL;
  const qm_code code = qm_repair("/nonexistent/quillmend-consumer.m4a", "/nonexistent/out.m4a",
                                 NULL, &result);
  printf("quillmend %s: %s: %s\n", qm_version(), qm_code_name(code), qm_result_message(result));
  qm_result_free(result);
  return r == ORVM4A_ERR_MAP && code == QM_ERR_INPUT ? 0 : 1;
}
