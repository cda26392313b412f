/* A host program built against the installed library only. */
#include <stdio.h>
#include <string.h>

#include <quillmend_sdk.h>

int main(int argc, char** argv) {
  static int owner;
  if (argc != 2) return 2;
  if (OrvM4aInit(argv[1], &owner) != ORVM4A_OK) return 1;
  /* A file that does not exist is refused with its code: the library is really there. */
  int32_t r = OrvM4aGeneralRepair("/nonexistent/quillmend-consumer.m4a", "/nonexistent/out.m4a");
  OrvM4aDestroy();
  printf("quillmend_sdk %s: %d\n", QUILLMEND_SDK_VERSION_TEXT, (int)r);
  return r == ORVM4A_ERR_MAP ? 0 : 1;
}
